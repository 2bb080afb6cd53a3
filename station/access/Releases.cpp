#include "station/access/Releases.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <iterator>

#include "crypto/Digest.h"
#include "station/Platform.h"
#include "station/ProjectCatalog.h"
#include "stdf/TableExport.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

Json releaseJson(const Release& release) {
  Json files = Json::array();
  for (const ReleasedFile& file : release.files) {
    files.push_back({{"role", file.role}, {"file", file.file}, {"sha256", file.sha256}});
  }
  return {{"name", release.name},
          {"revision", release.revision},
          {"project", release.project},
          {"flow", release.flow},
          {"settings", release.settings},
          {"files", files},
          {"by", release.by},
          {"at", release.at}};
}

Release releaseOf(const Json& json) {
  Release release;
  release.name = json.at("name").get<std::string>();
  release.revision = json.at("revision").get<std::string>();
  release.project = json.at("project").get<std::string>();
  release.flow = json.at("flow").get<std::string>();
  release.settings = json.at("settings").get<std::vector<std::string>>();
  for (const Json& file : json.at("files")) {
    release.files.push_back({file.at("role").get<std::string>(), file.at("file").get<std::string>(),
                             file.at("sha256").get<std::string>()});
  }
  release.by = json.value("by", "");
  release.at = json.value("at", "");
  return release;
}

// A release's name or revision: 1 to 64 characters, no white space, no '@' (NAME@REVISION names
// a release), nothing a file name couldn't carry.
bool validLabel(const std::string& text) {
  if (text.empty() || text.size() > 64) return false;
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= ' ' || c == '@' || c == '/' || c == '\\' || c == '"') {
      return false;
    }
  }
  return true;
}

// The digest of the project's file (by its name in the folder); empty with error.
std::string digestOf(const ProjectCatalog& catalog, const std::string& project,
                     const std::string& file, std::string& error) {
  fs::path path;
  if (catalog.resolve(project, file, path, error) != ProjectCatalog::Lookup::ok) return "";
  return crypto::sha256File(path, error);
}

}  // namespace

bool Releases::load(const fs::path& file, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = file;
  releases_.clear();
  std::error_code failure;
  if (!fs::exists(file, failure)) return true;
  std::ifstream in(file, std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  try {
    const Json document = Json::parse(text);
    for (const Json& entry : document.at("releases")) releases_.push_back(releaseOf(entry));
  } catch (const std::exception& failure) {
    releases_.clear();
    error = file.u8string() + " is not a releases file: " + failure.what();
    return false;
  }
  return true;
}

bool Releases::save(std::string& error) {
  Json list = Json::array();
  for (const Release& release : releases_) list.push_back(releaseJson(release));
  const fs::path aside = file_.u8string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << Json{{"releases", list}}.dump(2) << "\n";
    if (!out.flush()) {
      error = "cannot write " + aside.u8string();
      return false;
    }
  }
  station_platform::sameOwner(aside, file_);
  // On the disk before it takes the old one's place, and the place taken before we answer.
  if (!station_platform::syncFile(aside, error)) return false;
  std::error_code failure;
  fs::rename(aside, file_, failure);
  if (failure) {
    error = "cannot replace " + file_.u8string() + ": " + failure.message();
    return false;
  }
  station_platform::syncFolder(file_.parent_path());
  return true;
}

std::vector<Release> Releases::list() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return releases_;
}

std::optional<Release> Releases::find(const std::string& name, const std::string& revision) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Release& release : releases_) {
    if (release.name == name && release.revision == revision) return release;
  }
  return std::nullopt;
}

int Releases::add(Release release, const ProjectCatalog& catalog, std::string& error) {
  if (!validLabel(release.name) || !validLabel(release.revision)) {
    error =
        "a release's name and revision have 1 to 64 characters, without white space, '@', "
        "'/', '\\\\' or '\"'";
    return 400;
  }
  if (release.settings.empty()) {
    error = "a release names at least one setting";
    return 400;
  }
  const std::string library = catalog.library(release.project);
  if (library.empty()) {
    error = "the project " + release.project + " has no library";
    return 404;
  }
  release.files.clear();
  std::vector<std::pair<std::string, std::string>> wanted = {{"library", library},
                                                             {"flow", release.flow}};
  for (const std::string& setting : release.settings) wanted.emplace_back("setting", setting);
  for (const auto& [role, file] : wanted) {
    const std::string digest = digestOf(catalog, release.project, file, error);
    if (digest.empty()) return 404;
    release.files.push_back({role, file, digest});
  }
  release.at = stdf::isoUtc(static_cast<std::uint64_t>(std::time(nullptr)));
  std::lock_guard<std::mutex> lock(mutex_);
  for (const Release& existing : releases_) {
    if (existing.name == release.name && existing.revision == release.revision) {
      error = "release " + release.name + "@" + release.revision +
              " exists already: a release is never changed (give it a new revision)";
      return 409;
    }
  }
  releases_.push_back(release);
  if (save(error)) return 200;
  releases_.pop_back();
  return 500;
}

std::vector<std::string> releaseChanges(const Release& release, const ProjectCatalog& catalog) {
  std::vector<std::string> changes;
  for (const ReleasedFile& file : release.files) {
    std::string error;
    const std::string now = digestOf(catalog, release.project, file.file, error);
    if (now != file.sha256) {
      changes.push_back("the release's " + file.role + " " + file.file +
                        (now.empty() ? " can't be read" : " changed since it was released"));
    }
  }
  return changes;
}
