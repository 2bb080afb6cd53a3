// DriverCommon::analysisFlowFile on any file: it either returns the complete flow or fails with
// one of the JSON library's parse_error, out_of_range or type_error; never another exception, a
// crash, a hang or a sanitizer report. A flow it returns must hold every item of the document,
// as the JSON library reads the same bytes. And since it reads the items as they are parsed,
// its outcome must be that of parsing the whole document first and reading the record from it
// (RecordReader): the same flow, or the same kind of failure with the same message. The reading
// that lists every problem (ate-check's) must find one exactly when that reading fails, and
// otherwise give the same flow.
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "utils/DriverCommon.h"
#include "utils/RecordReader.h"

namespace {

using nlohmann::json;

bool sameLevel(const Level& a, const Level& b) {
  return a.clampHi == b.clampHi && a.clampLow == b.clampLow && a.iOH == b.iOH && a.iOL == b.iOL &&
         a.vIH == b.vIH && a.vIL == b.vIL && a.vOH == b.vOH && a.vOL == b.vOL && a.vT == b.vT;
}

bool sameResult(const Result& a, const Result& b) {
  return a.max == b.max && a.min == b.min && a.paramId == b.paramId && a.paramName == b.paramName &&
         a.unit == b.unit;
}

bool sameItem(const TestItem& a, const TestItem& b) {
  if (a.results.size() != b.results.size()) return false;
  for (std::size_t i = 0; i < a.results.size(); ++i) {
    if (!sameResult(a.results[i], b.results[i])) return false;
  }
  return a.failJump == b.failJump && a.flag == b.flag && a.funcDesc == b.funcDesc &&
         a.funcId == b.funcId && a.funcName == b.funcName && a.hbin == b.hbin &&
         sameLevel(a.level, b.level) && a.loop == b.loop && a.passJump == b.passJump &&
         a.pattern == b.pattern && a.sbin == b.sbin && a.select == b.select;
}

// The outcome of a reading: the flow, or the failure's kind and message.
struct Outcome {
  std::optional<FlowMessage> flow;
  std::string failure;
};

template <typename Read>
Outcome outcomeOf(Read read) {
  Outcome outcome;
  try {
    outcome.flow = read();
  } catch (const json::parse_error& error) {
    outcome.failure = std::string("parse_error: ") + error.what();
  } catch (const json::out_of_range& error) {
    outcome.failure = std::string("out_of_range: ") + error.what();
  } catch (const json::type_error& error) {
    outcome.failure = std::string("type_error: ") + error.what();
  } catch (const std::exception& error) {
    fuzz::fail(std::string("an undocumented failure: ") + error.what());
  }
  return outcome;
}

void checkCollectingAgrees(const json& document) {
  std::vector<RecordProblem> problems;
  FlowMessage collected{};
  readRecord(document, collected, problems);
  FlowMessage flow{};
  try {
    readRecord(document, flow);
  } catch (const json::exception& error) {
    if (problems.empty()) fuzz::fail(std::string("no problem listed for: ") + error.what());
    return;
  }
  if (!problems.empty())
    fuzz::fail("a problem listed in a flow that reads: " + problems[0].message);
  if (collected.testItems.size() != flow.testItems.size()) {
    fuzz::fail("the listing reading gives another number of items");
  }
  for (std::size_t i = 0; i < flow.testItems.size(); ++i) {
    if (!sameItem(collected.testItems[i], flow.testItems[i])) {
      fuzz::fail("item " + std::to_string(i) + " differs in the listing reading");
    }
  }
}

// Parsing the whole document first, then reading the record from it.
Outcome wholeDocumentOutcome(const std::string& bytes) {
  return outcomeOf([&] {
    std::istringstream in(bytes);
    json document;
    in >> document;
    checkCollectingAgrees(document);
    FlowMessage flow{};
    readRecord(document, flow);
    return std::optional<FlowMessage>(std::move(flow));
  });
}

void checkSameOutcome(const Outcome& read, const Outcome& whole) {
  if (read.failure != whole.failure) {
    fuzz::fail("the failure \"" + read.failure + "\" differs from reading the whole document: \"" +
               whole.failure + "\"");
  }
  if (!read.flow) return;
  if (read.flow->testItems.size() != whole.flow->testItems.size()) {
    fuzz::fail("the number of items differs from reading the whole document");
  }
  for (std::size_t i = 0; i < read.flow->testItems.size(); ++i) {
    if (!sameItem(read.flow->testItems[i], whole.flow->testItems[i])) {
      fuzz::fail("item " + std::to_string(i) + " differs from reading the whole document");
    }
  }
}

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
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  DriverCommon common;
  const Outcome read = outcomeOf([&] {
    std::optional<FlowMessage> flow = common.analysisFlowFile(path);
    if (!flow) fuzz::fail("no flow and no failure for a file that exists");
    return flow;
  });
  checkSameOutcome(read, wholeDocumentOutcome(bytes));
  if (read.flow) checkComplete(bytes, *read.flow);
  return 0;
}
