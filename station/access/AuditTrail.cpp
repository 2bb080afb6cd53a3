#include "station/access/AuditTrail.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <set>

#include "crypto/Digest.h"
#include "stdf/StdfReader.h"
#include "stdf/TableExport.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr std::size_t KEPT_RECENT = 500;
const char* const ANCHOR_PREFIX = "ate:audit sha256=";

// The trail's lines, each without its line feed; a last line without one is a line too.
std::vector<std::string> readLines(const fs::path& file, bool& readable) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  readable = static_cast<bool>(in);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

bool AuditTrail::open(const fs::path& file, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = file;
  std::error_code failure;
  if (fs::exists(file, failure)) {
    bool readable = false;
    std::vector<std::string> lines = readLines(file, readable);
    if (!readable) {
      error = "cannot read the audit trail " + file.u8string();
      return false;
    }
    if (!lines.empty()) head_ = crypto::sha256(lines.back());
    // A last line cut short (a crash in its write) stays as it is, on a line of its own.
    std::ifstream last(file, std::ios::binary | std::ios::ate);
    if (last.tellg() > 0) {
      last.seekg(-1, std::ios::end);
      if (last.get() != '\n') {
        station_platform::AppendFile mend;
        if (!mend.open(file, error) || !mend.append("\n", error)) return false;
      }
    }
    const std::size_t from = lines.size() > KEPT_RECENT ? lines.size() - KEPT_RECENT : 0;
    recent_.assign(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end());
  }
  if (!file.parent_path().empty()) fs::create_directories(file.parent_path(), failure);
  return out_.open(file, error);
}

bool AuditTrail::isOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return out_.isOpen();
}

void AuditTrail::append(const AuditEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!out_.isOpen()) return;
  const Json line = {{"time", stdf::isoUtc(static_cast<std::uint64_t>(std::time(nullptr)))},
                     {"who", entry.who},
                     {"role", entry.role},
                     {"address", entry.address},
                     {"what", entry.what},
                     {"outcome", entry.outcome},
                     {"prev", head_}};
  // Keys in this order, as written; nlohmann's object sorts them, so the text is made by hand.
  std::string text = "{";
  for (const char* key : {"time", "who", "role", "address", "what", "outcome", "prev"}) {
    if (text.size() > 1) text += ',';
    text +=
        Json(key).dump() + ":" + line.at(key).dump(-1, ' ', false, Json::error_handler_t::replace);
  }
  text += "}";
  std::string error;
  if (!out_.append(text + "\n", error) || !out_.sync(error)) return;
  head_ = crypto::sha256(text);
  recent_.push_back(text);
  if (recent_.size() > KEPT_RECENT) recent_.erase(recent_.begin());
}

std::string AuditTrail::head() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return head_;
}

std::vector<std::string> AuditTrail::newest(std::size_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t from = recent_.size() > count ? recent_.size() - count : 0;
  return {recent_.begin() + static_cast<std::ptrdiff_t>(from), recent_.end()};
}

TrailCheck verifyTrail(const fs::path& file, const std::vector<std::string>& anchors) {
  TrailCheck check;
  bool readable = false;
  const std::vector<std::string> lines = readLines(file, readable);
  if (!readable) {
    check.holds = false;
    check.message = "cannot read " + file.u8string();
    return check;
  }
  check.lines = lines.size();
  std::string previous;
  std::set<std::string> hashes;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string prev;
    try {
      prev = Json::parse(lines[i]).at("prev").get<std::string>();
    } catch (const std::exception&) {
      check.holds = false;
      check.brokenLine = i + 1;
      check.message = "line " + std::to_string(i + 1) + " is not an audit line";
      return check;
    }
    if (prev != previous) {
      check.holds = false;
      check.brokenLine = i + 1;
      check.message = "line " + std::to_string(i + 1) +
                      " does not follow the line before it: a line was edited, deleted or put "
                      "in before line " +
                      std::to_string(i + 1);
      return check;
    }
    previous = crypto::sha256(lines[i]);
    hashes.insert(previous);
  }
  for (const std::string& anchor : anchors) {
    if (hashes.count(anchor) == 0) {
      check.holds = false;
      check.message = "the anchor " + anchor +
                      " names a line the trail no longer holds: the trail was rewritten after it";
      return check;
    }
  }
  check.message = "the chain holds: " + std::to_string(lines.size()) + " lines" +
                  (anchors.empty() ? "" : ", " + std::to_string(anchors.size()) + " anchors found");
  return check;
}

std::vector<std::string> datalogAnchors(const fs::path& datalog, std::string& error) {
  std::vector<std::string> anchors;
  std::ifstream in(datalog, std::ios::binary);
  if (!in) {
    error = "cannot read " + datalog.u8string();
    return anchors;
  }
  stdf::StdfReader reader(in);
  const std::string prefix = ANCHOR_PREFIX;
  for (stdf::Record record; reader.next(record);) {
    if (!record.is("DTR")) continue;
    const std::string_view text = record.textValue("TEXT_DAT");
    if (text.compare(0, prefix.size(), prefix) == 0)
      anchors.emplace_back(text.substr(prefix.size()));
  }
  if (reader.error() != nullptr) error = datalog.u8string() + ": " + reader.error()->message;
  return anchors;
}
