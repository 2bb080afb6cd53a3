// DriverCommon::analysisFlowFile on any file: it either returns the complete flow or fails with
// one of the JSON library's parse_error, out_of_range or type_error; never another exception, a
// crash, a hang or a sanitizer report. A flow it returns must hold every item of the document,
// as the JSON library reads the same bytes.
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "DriverCommon.h"
#include "FuzzSupport.h"

namespace {

using nlohmann::json;

// The returned flow against the document as the JSON library reads it on its own.
void checkComplete(const std::string& bytes, const FlowMessage& flow) {
  json document;
  try {
    std::istringstream in(bytes);
    in >> document;
  } catch (const json::exception& error) {
    fuzz::fail(std::string("a flow was read from a document the JSON library refuses: ") +
               error.what());
  }
  const json& items = document.at("testItems");
  if (items.size() != flow.testItems.size()) fuzz::fail("items are missing from the flow");
  for (std::size_t i = 0; i < items.size(); ++i) {
    const TestItem& item = flow.testItems[i];
    if (item.funcName != items[i].at("funcName").get<std::string>() ||
        item.select != items[i].at("select").get<bool>() ||
        item.level.vT != items[i].at("level").at("vT").get<std::string>() ||
        item.results.size() != items[i].at("results").size()) {
      fuzz::fail("item " + std::to_string(i) + " differs from the document");
    }
    for (std::size_t r = 0; r < item.results.size(); ++r) {
      const json& result = items[i]["results"][r];
      if (item.results[r].max != result.at("max").get<std::string>() ||
          item.results[r].paramName != result.at("paramName").get<std::string>()) {
        fuzz::fail("result " + std::to_string(r) + " of item " + std::to_string(i) +
                   " differs from the document");
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::silenceStdout();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = fuzz::writeInput(data, size);
  DriverCommon common;
  std::optional<FlowMessage> flow;
  try {
    flow = common.analysisFlowFile(path);
  } catch (const json::parse_error&) {
    return 0;
  } catch (const json::out_of_range&) {
    return 0;
  } catch (const json::type_error&) {
    return 0;
  } catch (const std::exception& error) {
    fuzz::fail(std::string("an undocumented failure: ") + error.what());
  }
  if (!flow) fuzz::fail("no flow and no failure for a file that exists");
  checkComplete(std::string(reinterpret_cast<const char*>(data), size), *flow);
  return 0;
}
