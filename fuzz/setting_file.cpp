// DriverCommon::analysisSettingFile on any file: it either returns the complete setting or fails
// with one of the JSON library's parse_error, out_of_range or type_error; never another
// exception, a crash, a hang or a sanitizer report. A setting it returns must be the document's,
// as the JSON library reads the same bytes. The reading that lists every problem (ate-check's)
// must find one exactly when the driver's fails, and otherwise give the same setting.
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "utils/DriverCommon.h"
#include "utils/RecordReader.h"

namespace {

using nlohmann::json;

void checkComplete(const std::string& bytes, const Setting& setting) {
  json document;
  try {
    std::istringstream in(bytes);
    in >> document;
  } catch (const json::exception& error) {
    fuzz::fail(std::string("a setting was read from a document the JSON library refuses: ") +
               error.what());
  }
  const json& execute = document.at("executeSetting");
  const json& loopcount = execute.at("loopcount");
  if (setting.executeSetting.failstop != execute.at("failstop").get<bool>() ||
      setting.dutSetting.selectDUT !=
          document.at("dutSetting").at("selectDUT").get<std::vector<std::string>>()) {
    fuzz::fail("the setting differs from the document");
  }
  // Integers keep their low 32 bits; true and false are 1 and 0.
  if ((loopcount.is_number_integer() &&
       static_cast<std::uint32_t>(loopcount.get<std::int64_t>()) !=
           static_cast<std::uint32_t>(setting.executeSetting.loopcount)) ||
      (loopcount.is_boolean() &&
       setting.executeSetting.loopcount != (loopcount.get<bool>() ? 1 : 0))) {
    fuzz::fail("loopcount differs from the document");
  }
}

}  // namespace

void checkCollectingAgrees(const std::string& bytes, const std::optional<Setting>& setting) {
  json document;
  try {
    std::istringstream in(bytes);
    in >> document;
  } catch (const json::exception&) {
    return;  // nothing to read records from
  }
  std::vector<RecordProblem> problems;
  Setting collected{};
  readRecord(document, collected, problems);
  if (problems.empty() != setting.has_value()) {
    fuzz::fail(setting ? "a problem listed in a setting that reads: " + problems[0].message
                       : "no problem listed in a setting that fails");
  }
  if (setting && (collected.executeSetting.failstop != setting->executeSetting.failstop ||
                  collected.executeSetting.loopcount != setting->executeSetting.loopcount ||
                  collected.dutSetting.selectDUT != setting->dutSetting.selectDUT)) {
    fuzz::fail("the listing reading gives another setting");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = fuzz::writeInput(data, size);
  DriverCommon common;
  std::optional<Setting> setting;
  try {
    setting = common.analysisSettingFile(path);
  } catch (const json::parse_error&) {
    return 0;
  } catch (const json::out_of_range&) {
    checkCollectingAgrees(std::string(reinterpret_cast<const char*>(data), size), setting);
    return 0;
  } catch (const json::type_error&) {
    checkCollectingAgrees(std::string(reinterpret_cast<const char*>(data), size), setting);
    return 0;
  } catch (const std::exception& error) {
    fuzz::fail(std::string("an undocumented failure: ") + error.what());
  }
  if (!setting) fuzz::fail("no setting and no failure for a file that exists");
  checkComplete(std::string(reinterpret_cast<const char*>(data), size), *setting);
  checkCollectingAgrees(std::string(reinterpret_cast<const char*>(data), size), setting);
  return 0;
}
