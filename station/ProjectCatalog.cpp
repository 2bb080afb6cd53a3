#include "station/ProjectCatalog.h"

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>

namespace fs = std::filesystem;

namespace {

enum class FileKind { other, flow, setting };

// Flow and setting files are small; anything bigger than this is not looked into.
constexpr std::uintmax_t MAX_CLASSIFIED_SIZE = 16u << 20;

FileKind classify(const fs::path& path) {
  std::error_code error;
  if (path.extension() != ".json" || !fs::is_regular_file(path, error) ||
      fs::file_size(path, error) > MAX_CLASSIFIED_SIZE) {
    return FileKind::other;
  }
  std::ifstream file(path, std::ios::binary);
  const nlohmann::json document = nlohmann::json::parse(file, nullptr, false);
  if (!document.is_object()) return FileKind::other;
  if (document.contains("testItems")) return FileKind::flow;
  if (document.contains("executeSetting")) return FileKind::setting;
  return FileKind::other;
}

bool inside(const fs::path& root, const fs::path& path) {
  const auto [rootEnd, pathAt] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
  return rootEnd == root.end() && pathAt != path.end();
}

}  // namespace

ProjectCatalog::ProjectCatalog(fs::path root, std::string librarySuffix)
    : librarySuffix_(std::move(librarySuffix)) {
  std::error_code error;
  root_ = fs::weakly_canonical(fs::absolute(root), error);
  if (error) root_ = fs::absolute(root);
}

bool ProjectCatalog::validName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return std::none_of(name.begin(), name.end(), [](char c) {
    return c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 0x20;
  });
}

std::vector<ProjectEntry> ProjectCatalog::list() const {
  std::vector<ProjectEntry> projects;
  std::error_code error;
  for (const fs::directory_entry& folder : fs::directory_iterator(root_, error)) {
    fs::path resolved;
    std::string why;
    const std::string name = folder.path().filename().u8string();
    if (resolve(name, "", resolved, why) != Lookup::ok || !fs::is_directory(resolved, error)) {
      continue;
    }
    ProjectEntry project{name, library(name), {}, {}};
    for (const fs::directory_entry& file : fs::directory_iterator(resolved, error)) {
      const std::string fileName = file.path().filename().u8string();
      if (resolve(name, fileName, resolved, why) != Lookup::ok) continue;
      switch (classify(file.path())) {
        case FileKind::flow:
          project.flows.push_back(fileName);
          break;
        case FileKind::setting:
          project.settings.push_back(fileName);
          break;
        case FileKind::other:
          break;
      }
    }
    std::sort(project.flows.begin(), project.flows.end());
    std::sort(project.settings.begin(), project.settings.end());
    projects.push_back(std::move(project));
  }
  std::sort(projects.begin(), projects.end(),
            [](const ProjectEntry& a, const ProjectEntry& b) { return a.name < b.name; });
  return projects;
}

std::string ProjectCatalog::library(const std::string& project) const {
  fs::path folder, path;
  std::string why;
  std::error_code error;
  if (resolve(project, "", folder, why) != Lookup::ok) return "";
  for (const fs::directory_entry& file : fs::directory_iterator(folder, error)) {
    const std::string fileName = file.path().filename().u8string();
    if (file.path().extension() == librarySuffix_ &&
        resolve(project, fileName, path, why) == Lookup::ok) {
      return fileName;
    }
  }
  return "";
}

ProjectCatalog::Lookup ProjectCatalog::resolveLoad(const std::string& project,
                                                   const std::string& flow, fs::path& library,
                                                   fs::path& flowPath, std::string& error) const {
  fs::path folder;
  Lookup found = resolve(project, "", folder, error);
  if (found == Lookup::ok) found = resolve(project, flow, flowPath, error);
  if (found != Lookup::ok) return found;
  const std::string name = this->library(project);
  if (name.empty() || resolve(project, name, library, error) != Lookup::ok) {
    error = "the project \"" + project + "\" has no library";
    return Lookup::missing;
  }
  return Lookup::ok;
}

ProjectCatalog::Lookup ProjectCatalog::resolve(const std::string& project, const std::string& file,
                                               fs::path& path, std::string& error) const {
  path.clear();
  if (!validName(project)) {
    error = "not a project name: \"" + project + "\"";
    return Lookup::bad;
  }
  if (!file.empty() && !validName(file)) {
    error = "not a file name: \"" + file + "\"";
    return Lookup::bad;
  }
  fs::path candidate = root_ / fs::u8path(project);
  if (!file.empty()) candidate /= fs::u8path(file);
  std::error_code failure;
  if (!fs::exists(candidate, failure)) {
    error = "no such " + std::string(file.empty() ? "project" : "file") + ": \"" +
            (file.empty() ? project : project + "/" + file) + "\"";
    return Lookup::missing;
  }
  // Links are followed to where they lead, and that must still be inside the projects folder.
  const fs::path real = fs::canonical(candidate, failure);
  if (failure || !inside(root_, real)) {
    error = "\"" + (file.empty() ? project : project + "/" + file) +
            "\" leads out of the projects folder";
    return Lookup::bad;
  }
  path = real;
  return Lookup::ok;
}
