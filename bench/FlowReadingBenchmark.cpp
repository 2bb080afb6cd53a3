// Flow reading: DriverCommon::analysisFlowFile on a generated flow of 20,000 items with three
// results each, against the least a reader of the same file can do with the same JSON library:
// operator>> into a document, get<> of the same records, and the same listing written to the
// same sink (standard output, sent to /dev/null for both).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>

#include "bench/BenchSupport.h"
#include "bench/RatioMain.h"
#include "utils/DriverCommon.h"

// The records as the JSON library's own conversions read them: every key required.
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Level, clampHi, clampLow, iOH, iOL, vIH, vIL, vOH, vOL, vT)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(Result, max, min, paramId, paramName, unit)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(TestItem, failJump, flag, funcDesc, funcId, funcName, hbin,
                                   level, loop, passJump, pattern, results, sbin, select)
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE(FlowMessage, testItems)

namespace {

constexpr int ITEMS = 20000;
constexpr int RESULTS = 3;

std::string flowPath;

void driverReader(benchmark::State& state) {
  DriverCommon common;
  for (auto _ : state) {
    std::optional<FlowMessage> flow = common.analysisFlowFile(flowPath);
    if (!flow || flow->testItems.size() != ITEMS) state.SkipWithError("the flow did not read");
    benchmark::DoNotOptimize(flow);
  }
}

void libraryReader(benchmark::State& state) {
  for (auto _ : state) {
    std::ifstream file(flowPath, std::ios::in | std::ios::binary);
    nlohmann::json document;
    file >> document;
    FlowMessage flow = document.get<FlowMessage>();
    std::string listing;
    for (const TestItem& item : flow.testItems) {
      listing.append("FuncName: ").append(item.funcName).append(", FuncId: ");
      listing.append(std::to_string(item.funcId)).push_back('\n');
      for (const Result& result : item.results) {
        listing.append("    Result Param: ").append(result.paramName).append(", Max: ");
        listing.append(result.max).push_back('\n');
      }
    }
    std::fwrite(listing.data(), 1, listing.size(), stdout);
    std::fflush(stdout);
    if (flow.testItems.size() != ITEMS) state.SkipWithError("the flow did not read");
    benchmark::DoNotOptimize(flow);
  }
}

BENCHMARK(driverReader)->Unit(benchmark::kMillisecond);
BENCHMARK(libraryReader)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  bench::QuietStdout quiet;
  bench::TempDir dir;
  const std::string document = bench::flowDocument(ITEMS, RESULTS);
  flowPath = dir.write("flow.json", document);
  quiet.console() << "flow file: " << ITEMS << " items, " << RESULTS << " results each, "
                  << document.size() << " bytes" << std::endl;
  return bench::runWithRatios(argc, argv, quiet.console(),
                              {{"flow reading, 20000 items: analysisFlowFile / nlohmann >> and get",
                                "driverReader", "libraryReader", 1.05}});
}
