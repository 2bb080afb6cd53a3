#include "station/lot/LotFiles.h"

#include "stdf/Pat.h"

#include <nlohmann/json.hpp>

#include <ctime>
#include <fstream>
#include <mutex>

#include "stdf/LotData.h"
#include "stdf/LotReport.h"
#include "stdf/Pat.h"
#include "stdf/StdfReader.h"

namespace fs = std::filesystem;

namespace lot {

namespace {

std::string timeText(const char* format, const char* otherwise) {
  // localtime's buffer is shared by every thread of the process.
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  const std::time_t now = std::time(nullptr);
  char out[32] = "";
  const std::tm* local = std::localtime(&now);
  if (local == nullptr || std::strftime(out, sizeof out, format, local) == 0) return otherwise;
  return out;
}

// A text as one line of a KEY=VALUE file.
std::string oneLine(std::string value) {
  for (char& c : value) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return value;
}

std::string fileComponent(const std::string& value) {
  std::string out;
  for (const char c : value) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    out.push_back(plain ? c : '_');
  }
  return out;
}

}  // namespace

std::string localTime() { return timeText("%Y-%m-%d %H:%M:%S", ""); }
std::string fileTime() { return timeText("%Y%m%d_%H%M%S", "00000000_000000"); }

bool replaceFile(const fs::path& file, const std::string& content) {
  const fs::path aside = file.u8string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) return false;
  }
  std::error_code error;
  fs::rename(aside, file, error);
  return !error;
}

bool overwriteFile(const fs::path& file, const std::string& content) {
  {
    std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
    if (!out.is_open()) return replaceFile(file, content);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out.flush()) return false;
  }
  // Cut to the new length (never to nothing: that too makes ext4 write the file out).
  std::error_code error;
  fs::resize_file(file, content.size(), error);
  return !error;
}

fs::path newDatalogPath(const fs::path& folder, const LotRequest& lot, const std::string& wafer) {
  std::string stem;
  for (const std::string* part : {&lot.partType, &lot.lotId, &wafer}) {
    if (!part->empty()) stem += fileComponent(*part) + "_";
  }
  stem += fileTime();
  fs::path file = folder / (stem + ".stdf");
  std::error_code error;
  for (int n = 2; fs::exists(file, error) && n < 10000; ++n) {
    file = folder / (stem + "_" + std::to_string(n) + ".stdf");
  }
  return file;
}

// Static outlier limits for libdatalog to apply as it records: the lot's limits file as
// "PAT.TEST=LOW HIGH" lines and the bin of its rules ("PAT_BIN=HARD SOFT NAME"), unless the rules
// turn static PAT off. Nothing without a limits file (or when a file no longer reads: the lot is
// held for it by the program check).
std::string patLines(const std::vector<ProgramFile>& program) {
  stdf::PatLimitTable limits;
  stdf::PatRules rules;
  for (const ProgramFile& file : program) {
    std::ifstream in(fs::u8path(file.path), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string error;
    if (file.role == "pat-limits" && !stdf::parsePatLimits(text, limits, error)) return "";
    if (file.role == "pat-rules" && !stdf::parsePatRules(text, rules, error)) return "";
  }
  const stdf::PatRules::Rule& rule = rules[stdf::PatRule::STATIC];
  if (limits.empty() || !rule.enabled) return "";
  std::string lines = "PAT_BIN=" + std::to_string(rule.hardBin) + " " +
                      std::to_string(rule.softBin) + " " + oneLine(rule.binName) + "\n";
  for (const auto& [test, range] : limits) {
    char text[96];
    std::snprintf(text, sizeof text, "PAT.%u=%.17g %.17g\n", test, range.first, range.second);
    lines += text;
  }
  return lines;
}

bool writeLotFile(const LotPaths& paths, const LotFileContent& lot) {
  const LotRequest& request = *lot.request;
  std::string content = "# The lot being tested, written by ate-station; read by libdatalog.\n";
  content += "LOT_ID=" + oneLine(request.lotId) + "\n";
  content += "SBLOT_ID=" + oneLine(request.sublotId) + "\n";
  content += "PART_TYP=" + oneLine(request.partType) + "\n";
  content += "OPER_NAM=" + oneLine(request.operatorName) + "\n";
  content += "TEST_COD=" + oneLine(request.testCode) + "\n";
  content += "TST_TEMP=" + oneLine(request.temperature) + "\n";
  content += "NODE_NAM=" + oneLine(lot.nodeName) + "\n";
  content += "MODE_COD=P\n";
  if (!request.release.empty()) {
    content += "JOB_NAM=" + oneLine(request.release) + "\n";
    content += "JOB_REV=" + oneLine(request.revision) + "\n";
  }
  for (const ProgramFile& file : lot.program) {
    content += "PROGRAM." + file.role + "=" + file.sha256 + " " + oneLine(file.path) + "\n";
  }
  if (!lot.auditHead.empty()) content += "AUDIT=" + lot.auditHead + "\n";
  content += std::string("RTST_COD=") + request.retestCode + "\n";
  content += "FILE=" + lot.datalog + "\n";
  content += "FIRST_PART_ID=" + std::to_string(lot.firstPartId) + "\n";
  content += "TOUCHDOWN=" + paths.touchdownFile().u8string() + "\n";
  for (const auto& [field, value] : request.waferConfig) {
    content += "WCR." + field + "=" + value + "\n";
  }
  for (std::size_t i = 0; i < lot.devices.size(); ++i) {
    content += "SITE." + std::to_string(i + 1) + "=" + oneLine(lot.devices[i]) + "\n";
  }
  content += patLines(lot.program);
  return replaceFile(paths.lotFile, content);
}

bool writeTouchdownFile(const LotPaths& paths, const std::string& wafer,
                        const std::vector<SitePart>& sites) {
  std::string content = "WAFER=" + oneLine(wafer) + "\n";
  for (const SitePart& part : sites) {
    const std::string site = std::to_string(part.site);
    if (part.die) {
      content += "XY." + site + "=" + std::to_string(part.die->x) + "," +
                 std::to_string(part.die->y) + "\n";
    }
    content += "ID." + site + "=" + std::to_string(part.partId) + "\n";
    if (part.retest) content += "RETEST." + site + "=1\n";
  }
  return overwriteFile(paths.touchdownFile(), content);
}

bool writePassSetting(const LotPaths& paths, bool failstop,
                      const std::vector<std::string>& devices) {
  const nlohmann::json document = {{"executeSetting", {{"failstop", failstop}, {"loopcount", 1}}},
                                   {"dutSetting", {{"selectDUT", devices}}}};
  return overwriteFile(paths.passSetting(), document.dump() + "\n");
}

std::string writeReport(const std::vector<std::string>& datalogs,
                        const std::vector<stdf::LotReportData::Action>& actions,
                        std::string& error) {
  if (datalogs.empty()) return "";
  stdf::LotCollector collector;
  for (const std::string& file : datalogs) {
    std::ifstream in(fs::u8path(file), std::ios::binary);
    stdf::StdfReader reader(in);
    for (stdf::Record record; reader.next(record);) collector.add(record);
    collector.endFile(file);
  }
  fs::path path = fs::u8path(datalogs.front());
  path.replace_extension(".html");
  stdf::LotReportData report = collector.report();
  report.actions = actions;
  if (!replaceFile(path, stdf::reportHtml(report))) {
    error = "cannot write the lot's report " + path.u8string();
    return "";
  }
  return path.u8string();
}

}  // namespace lot
