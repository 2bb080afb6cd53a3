#include "tests/support/TestFiles.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  root_ = fs::temp_directory_path() /
          ("ate-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  fs::create_directories(root_);
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  const fs::path file = root_ / name;
  std::ofstream out(file, std::ios::binary);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return file.string();
}

std::string TempDir::path(const std::string& name) const { return (root_ / name).string(); }

std::string flowJson(const std::vector<FlowEntry>& items) {
  std::string json = "{\"testItems\": [";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const FlowEntry& item = items[i];
    if (i > 0) json += ",";
    json += R"({"failJump": "fj", "flag": "fl", "funcDesc": "desc )" + item.funcName +
            R"(", "funcId": )" + std::to_string(100 + i) + R"(, "funcName": ")" + item.funcName +
            R"(", "hbin": 3, "level": {"clampHi": "ch", "clampLow": "cl", "iOH": "ioh",)"
            R"( "iOL": "iol", "vIH": "vih", "vIL": "vil", "vOH": "voh", "vOL": "vol", "vT": "vt"},)"
            R"( "loop": )" +
            std::to_string(item.loop) + R"(, "passJump": "pj", "pattern": ")" + item.pattern +
            R"(", "results": [{"max": "1.5", "min": "-0.5",)"
            R"( "paramId": 7, "paramName": "P)" +
            std::to_string(i) + R"(", "unit": "V"}], "sbin": 4, "select": )" +
            (item.select ? "true" : "false") + "}";
  }
  return json + "]}";
}

std::string settingJson(int loopcount, bool failstop, const std::vector<std::string>& duts) {
  std::string list;
  for (const std::string& dut : duts) list += (list.empty() ? "\"" : ",\"") + dut + "\"";
  return R"({"executeSetting": {"failstop": )" + std::string(failstop ? "true" : "false") +
         R"(, "loopcount": )" + std::to_string(loopcount) + R"(}, "dutSetting": {"selectDUT": [)" +
         list + "]}}";
}
