#include "check/Checker.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>

#include <nlohmann/json.hpp>

#include "check/ExportTable.h"
#include "utils/CommonStruct.h"
#include "utils/ErrorType.h"
#include "utils/LimitText.h"
#include "utils/RecordReader.h"

namespace {

using nlohmann::json;

class Checker {
 public:
  explicit Checker(std::vector<Finding>& findings) : findings_(findings) {}

  // The flow's findings; the items read whole go to items, by their index.
  void flow(const std::string& file, std::map<std::size_t, TestItem>& items);
  void library(const std::string& file, const std::string& flowFile,
               const std::map<std::size_t, TestItem>& items);
  void setting(const std::string& file);

 private:
  void error(const std::string& file, const std::string& path, const std::string& message) {
    findings_.push_back({Finding::Severity::error, file, path, message});
  }
  void warning(const std::string& file, const std::string& path, const std::string& message) {
    findings_.push_back({Finding::Severity::warning, file, path, message});
  }

  // The document in the file, parsed as the driver parses it; nothing after an error.
  std::optional<json> document(const std::string& file);
  // Lists the reader's problems as errors; the indexes of the test items they fall in go to
  // broken.
  void readingErrors(const std::string& file, const std::vector<RecordProblem>& problems,
                     std::set<std::size_t>* broken);

  std::vector<Finding>& findings_;
};

std::optional<json> Checker::document(const std::string& file) {
  std::ifstream stream;
  std::error_code failure;
  switch (openForReading(file, stream, failure)) {
    case FileOpening::opened:
      break;
    case FileOpening::missing:
      error(file, "", "does not exist");
      return std::nullopt;
    case FileOpening::unknown:
      error(file, "", "cannot be looked up: " + failure.message());
      return std::nullopt;
    case FileOpening::unreadable:
      error(file, "", "cannot be opened (a directory, or no permission to read it)");
      return std::nullopt;
  }
  // The driver's parse: one value, a BOM before it skipped, text after it not read.
  json value;
  try {
    stream >> value;
  } catch (const json::exception& failure) {
    // The library's message after its "[json.exception.parse_error.101] " tag.
    std::string what = failure.what();
    const std::string::size_type tag = what.find("] ");
    if (tag != std::string::npos) what.erase(0, tag + 2);
    error(file, "", "is not valid JSON: " + what);
    return std::nullopt;
  }
  return value;
}

void Checker::readingErrors(const std::string& file, const std::vector<RecordProblem>& problems,
                            std::set<std::size_t>* broken) {
  static const std::string ITEMS = "/testItems/";
  for (const RecordProblem& problem : problems) {
    error(file, problem.path, problem.message);
    if (broken != nullptr && problem.path.compare(0, ITEMS.size(), ITEMS) == 0) {
      broken->insert(std::strtoul(problem.path.c_str() + ITEMS.size(), nullptr, 10));
    }
  }
}

// Whether name can be a C function's exported name.
bool isCName(const std::string& name) {
  if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0]))) return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
  });
}

std::string quoted(const std::string& text) {
  return json(text).dump(-1, ' ', false, json::error_handler_t::replace);
}

void Checker::flow(const std::string& file, std::map<std::size_t, TestItem>& items) {
  const std::optional<json> value = document(file);
  if (!value) return;
  std::vector<RecordProblem> problems;
  FlowMessage flow;
  readRecord(*value, flow, problems);
  std::set<std::size_t> broken;
  readingErrors(file, problems, &broken);
  // A problem outside the items (no "testItems", or not an array) leaves nothing to look at.
  if (!value->is_object() || !value->contains("testItems") || !(*value)["testItems"].is_array()) {
    return;
  }

  std::map<int, std::string> funcIds, paramIds;  // first path of each number
  bool anySelected = false;
  for (std::size_t index = 0; index < flow.testItems.size(); ++index) {
    if (broken.count(index) != 0) continue;
    const TestItem& item = flow.testItems[index];
    items[index] = item;
    const std::string at = "/testItems/" + std::to_string(index);
    anySelected = anySelected || item.select;
    if (!isCName(item.funcName)) {
      warning(file, at + "/funcName",
              quoted(item.funcName) +
                  " can't be the exported name of a C function (letters, digits and '_', not "
                  "starting with a digit)");
    }
    const auto funcId = funcIds.emplace(item.funcId, at);
    if (!funcId.second) {
      warning(file, at + "/funcId",
              "funcId " + std::to_string(item.funcId) + " is also used by " + funcId.first->second);
    }
    for (std::size_t r = 0; r < item.results.size(); ++r) {
      const Result& result = item.results[r];
      const std::string resultAt = at + "/results/" + std::to_string(r);
      const auto paramId = paramIds.emplace(result.paramId, resultAt);
      if (!paramId.second) {
        warning(file, resultAt + "/paramId",
                "paramId " + std::to_string(result.paramId) + " is also used by " +
                    paramId.first->second + " (the datalog's test numbers should be unique)");
      }
      // The datalog's own rule: an empty limit is no limit, text that is no number is none
      // either.
      const Limit min = parseLimit(result.min), max = parseLimit(result.max);
      if (min.malformed) {
        warning(
            file, resultAt + "/min",
            "the limit " + quoted(result.min) + " is no number (the datalog takes it as no limit)");
      }
      if (max.malformed) {
        warning(
            file, resultAt + "/max",
            "the limit " + quoted(result.max) + " is no number (the datalog takes it as no limit)");
      }
      if (min.present && max.present && min.value > max.value) {
        warning(file, resultAt,
                "min " + result.min + " is above max " + result.max + ": no value can pass");
      }
    }
  }
  if (!anySelected && broken.empty()) {
    warning(file, "/testItems", "no item is selected: a run calls no test function");
  }
}

void Checker::library(const std::string& file, const std::string& flowFile,
                      const std::map<std::size_t, TestItem>& items) {
  ExportTable table;
  std::string problem;
  if (!readExportTableFile(file, table, problem)) {
    error(file, "", "can't be read as a test project library: " + problem);
    return;
  }
  const std::set<std::string> names(table.names.begin(), table.names.end());
  static const std::string HOOKS[][2] = {
      {"prj_init", "the load answers code " + std::to_string(LOSE_PRJ_INIT_FUNCTION)},
      {"test_start", "every run ends before its first test function"},
      {"test_end", "every run ends after its first pass's test functions"}};
  for (const auto& hook : HOOKS) {
    if (names.count(hook[0]) == 0) error(file, "", "exports no " + hook[0] + ": " + hook[1]);
  }
  for (const auto& [index, item] : items) {
    if (item.select && names.count(item.funcName) == 0) {
      error(flowFile, "/testItems/" + std::to_string(index) + "/funcName",
            quoted(item.funcName) + " is not exported by " + file +
                ": the driver skips this item on every pass");
    }
  }
}

void Checker::setting(const std::string& file) {
  const std::optional<json> value = document(file);
  if (!value) return;
  std::vector<RecordProblem> problems;
  Setting setting;
  readRecord(*value, setting, problems);
  readingErrors(file, problems, nullptr);
  if (!problems.empty()) return;

  if (setting.executeSetting.loopcount < 0) {
    warning(file, "/executeSetting/loopcount",
            "reads as " + std::to_string(setting.executeSetting.loopcount) +
                ": a negative loop count runs no pass");
  }
  const std::vector<std::string>& duts = setting.dutSetting.selectDUT;
  if (duts.empty()) {
    warning(file, "/dutSetting/selectDUT", "is empty: the run names no device under test");
  }
  for (std::size_t i = 0; i < duts.size(); ++i) {
    const auto first = std::find(duts.begin(), duts.end(), duts[i]);
    if (first != duts.begin() + static_cast<std::ptrdiff_t>(i)) {
      warning(file, "/dutSetting/selectDUT/" + std::to_string(i),
              "device " + quoted(duts[i]) + " is also named at /dutSetting/selectDUT/" +
                  std::to_string(first - duts.begin()));
    }
  }
}

}  // namespace

std::vector<Finding> checkProgram(const CheckRequest& request) {
  std::vector<Finding> findings;
  Checker checker(findings);
  std::map<std::size_t, TestItem> items;
  if (!request.flow.empty()) checker.flow(request.flow, items);
  if (!request.library.empty()) checker.library(request.library, request.flow, items);
  for (const std::string& setting : request.settings) checker.setting(setting);
  return findings;
}

int checkStatus(const std::vector<Finding>& findings) {
  int status = 0;
  for (const Finding& finding : findings) {
    status = std::max(status, finding.severity == Finding::Severity::error ? 2 : 1);
  }
  return status;
}

std::string formatFinding(const Finding& finding) {
  return finding.file + ": " + (finding.path.empty() ? "" : finding.path + ": ") +
         (finding.severity == Finding::Severity::error ? "error: " : "warning: ") + finding.message;
}

std::string findingsJson(const std::vector<Finding>& findings) {
  json list = json::array();
  int errors = 0, warnings = 0;
  for (const Finding& finding : findings) {
    const bool isError = finding.severity == Finding::Severity::error;
    (isError ? errors : warnings) += 1;
    list.push_back({{"severity", isError ? "error" : "warning"},
                    {"file", finding.file},
                    {"path", finding.path},
                    {"message", finding.message}});
  }
  const json report = {{"findings", list}, {"errors", errors}, {"warnings", warnings}};
  // File names and exported names are bytes: anything that isn't UTF-8 is replaced.
  return report.dump(2, ' ', false, json::error_handler_t::replace);
}
