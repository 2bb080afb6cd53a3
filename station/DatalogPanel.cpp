#include "station/DatalogPanel.h"

#include <nlohmann/json.hpp>
#include <vector>

#include "stdf/DatalogSummary.h"
#include "stdf/StdfReader.h"

namespace fs = std::filesystem;

struct DatalogPanel::Impl {
  fs::path file;  // the datalog followed; empty before one appears
  stdf::StdfFollower follower;
  stdf::DatalogSummary summary;
  std::uint64_t passes = 0;
  std::uint64_t openParts = 0;  // PIRs whose PRRs have not come; a PIR with none open starts a pass
  bool namesPending = false;    // parts came in since the bin names were last read
  std::string error;
};

namespace {

// The newest datalog in folder: latest modification time, then greatest name.
fs::path newestDatalog(const fs::path& folder) {
  fs::path newest;
  fs::file_time_type newestTime{};
  std::error_code error;
  for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
    if (entry.path().extension() != ".stdf" || !entry.is_regular_file(error)) continue;
    const fs::file_time_type time = entry.last_write_time(error);
    if (error) continue;
    if (newest.empty() || time > newestTime ||
        (time == newestTime && entry.path().filename() > newest.filename())) {
      newest = entry.path();
      newestTime = time;
    }
  }
  return newest;
}

nlohmann::json partCount(const stdf::PartCount& count) {
  return {{"parts", count.parts}, {"good", count.good}, {"yield", count.yield()}};
}

nlohmann::json binTable(const std::vector<stdf::BinCount>& bins) {
  nlohmann::json table = nlohmann::json::array();
  for (const stdf::BinCount& bin : bins) {
    table.push_back({{"number", bin.number},
                     {"name", bin.name},
                     {"passFail", std::string(1, bin.passFail)},
                     {"count", bin.count}});
  }
  return table;
}

}  // namespace

DatalogPanel::DatalogPanel(fs::path folder)
    : folder_(std::move(folder)), impl_(std::make_unique<Impl>()) {}

DatalogPanel::~DatalogPanel() = default;

bool DatalogPanel::update() {
  const fs::path newest = newestDatalog(folder_);
  std::lock_guard<std::mutex> lock(mutex_);
  bool changed = false;
  if (!newest.empty() && newest != impl_->file) {
    // A new datalog (a new load of the project): the panel starts over with it.
    impl_ = std::make_unique<Impl>();
    impl_->file = newest;
    changed = true;
  }
  Impl& now = *impl_;
  if (now.file.empty()) return changed;

  const std::string path = now.file.u8string();
  const stdf::StdfFollower::Update update =
      now.follower.update(path, [&](const stdf::Record& record) {
        now.summary.add(record);
        if (record.is("PIR")) {
          if (now.openParts++ == 0) ++now.passes;
        } else if (record.is("PRR") && now.openParts > 0) {
          --now.openParts;
        }
      });
  changed = changed || update.records != 0;
  now.namesPending = now.namesPending || update.records != 0;
  // Bin names come from the summary records after the last part, which the writer rewrites at
  // every pass; they may not be there yet when the parts are.
  std::vector<stdf::Record> summary;
  if (now.namesPending && update.atSummary && now.follower.readSummary(path, summary)) {
    for (const stdf::Record& record : summary) {
      if (record.is("HBR") || record.is("SBR")) {
        now.summary.add(record);
        now.namesPending = false;
        changed = true;
      }
    }
  }
  const std::string error =
      update.error ? "cannot read " + now.file.filename().u8string() + ": " + update.error->message
                   : std::string();
  if (error != now.error) {
    now.error = error;
    changed = true;
  }
  return changed;
}

std::string DatalogPanel::json() const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Impl& panel = *impl_;
  if (panel.file.empty()) return nlohmann::json{{"file", nullptr}, {"passes", 0}}.dump();
  nlohmann::json sites = nlohmann::json::array();
  for (const auto& [site, count] : panel.summary.sites()) {
    nlohmann::json entry = partCount(count);
    entry["site"] = site;
    sites.push_back(entry);
  }
  nlohmann::json devices = nlohmann::json::array();
  for (const auto& [site, part] : panel.summary.lastParts()) {
    devices.push_back({{"site", site},
                       {"partId", part.partId},
                       {"passed", part.passed},
                       {"hardBin", part.hardBin},
                       {"softBin", part.softBin},
                       {"failedTest", part.failedTest ? nlohmann::json(*part.failedTest)
                                                      : nlohmann::json(nullptr)},
                       {"failedTestName", part.failedTestName},
                       {"incomplete", part.incomplete},
                       {"incompleteReason", part.incompleteReason}});
  }
  return nlohmann::json{{"file", panel.file.filename().u8string()},
                        {"passes", panel.passes},
                        {"error", panel.error},
                        {"sites", sites},
                        {"overall", partCount(panel.summary.overall())},
                        {"hardBins", binTable(panel.summary.hardBins())},
                        {"softBins", binTable(panel.summary.softBins())},
                        {"devices", devices}}
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::uint64_t DatalogPanel::passes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return impl_->passes;
}
