// Dispatch: passes of a flow of no-op test functions through the driver's own execution loop,
// against the least any loop must do for them: a plain loop over function pointers resolved
// once, making the same copy of the run's Configure for every call (the test functions take it
// by value) and the same copy of the device list for test_start.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "bench/BenchSupport.h"
#include "bench/RatioMain.h"
#include "src/CommandParser.h"

// The execution loop is private to CommandParser, which names this class its friend.
class ExecutionBenchmark {
 public:
  static void runLoop(const Configure& configure) {
    CommandParser::executeLoopAllFunc(configure, "0");
  }
};

namespace {

// The bench project library, loaded into the driver's library handle the way the load command
// loads it, and the flows of the benchmarks read the way the load command reads them.
struct Project {
  bench::TempDir dir;
  DriverCommon common;
  CommandParser parser{DriverCommon()};

  Project() {
    const std::string flow = dir.write("flow.json", bench::flowDocument(4, 3));
    ParsedCommand load;
    if (!parser.parse("1^qv -p load " ATE_BENCH_PROJECT " " + flow, load) ||
        parser.handleCommand(load) != 0) {
      throw std::runtime_error("cannot load " ATE_BENCH_PROJECT);
    }
  }

  // A Configure of a flow of items f0 ... f(items-1) and a setting of passes passes.
  Configure configure(int items, int passes) {
    std::optional<FlowMessage> flow = common.analysisFlowFile(
        dir.write("flow" + std::to_string(items) + ".json", bench::flowDocument(items, 3)));
    Setting setting;
    setting.executeSetting.loopcount = passes;
    return Configure(*flow, setting);
  }
};

Project* project = nullptr;

void driverLoop(benchmark::State& state) {
  const int items = static_cast<int>(state.range(0));
  const int passes = static_cast<int>(state.range(1));
  const Configure configure = project->configure(items, passes);
  for (auto _ : state) ExecutionBenchmark::runLoop(configure);
  state.SetItemsProcessed(state.iterations() * passes * items);
}

void plainLoop(benchmark::State& state) {
  const int items = static_cast<int>(state.range(0));
  const int passes = static_cast<int>(state.range(1));
  const Configure configure = project->configure(items, passes);
  const TestStart start = findFunction<TestStart>(hLib, "test_start").function;
  const TestEnd end = findFunction<TestEnd>(hLib, "test_end").function;
  std::vector<FunctionTypeStr> functions;
  for (const TestItem& item : configure.flowMessage.testItems) {
    if (item.select) {
      functions.push_back(findFunction<FunctionTypeStr>(hLib, item.funcName.c_str()).function);
    }
  }
  const bool failstop = configure.setting.executeSetting.failstop;
  for (auto _ : state) {
    for (int pass = 0; pass < passes; ++pass) {
      start(configure.setting.dutSetting);
      for (FunctionTypeStr function : functions) {
        if (!function(configure) && failstop) break;
      }
      end();
    }
  }
  state.SetItemsProcessed(state.iterations() * passes * items);
}

// {items, passes per iteration}: a few milliseconds per iteration either way.
BENCHMARK(driverLoop)->ArgNames({"items", "passes"})->Args({4, 1000})->Args({200, 2});
BENCHMARK(plainLoop)->ArgNames({"items", "passes"})->Args({4, 1000})->Args({200, 2});

}  // namespace

int main(int argc, char** argv) {
  bench::QuietStdout quiet;
  Project loaded;
  project = &loaded;
  return bench::runWithRatios(
      argc, argv, quiet.console(),
      {{"dispatch, 4-item flow: driver loop / plain loop", "driverLoop/items:4/passes:1000",
        "plainLoop/items:4/passes:1000", 1.15},
       {"dispatch, 200-item flow: driver loop / plain loop", "driverLoop/items:200/passes:2",
        "plainLoop/items:200/passes:2", 1.03}});
}
