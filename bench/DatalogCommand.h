// What the benchmarks of ate-datalog's commands share: a command run in process, and how fast
// it read its datalog.
#ifndef ATE_BENCH_DATALOGCOMMAND_H_
#define ATE_BENCH_DATALOGCOMMAND_H_

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/RatioMain.h"
#include "stdf/DatalogTool.h"

namespace bench {

// Runs `ate-datalog ARGS...` once per iteration; aborts when it fails.
inline void runDatalogCommand(benchmark::State& state, const std::vector<std::string>& args) {
  for (auto _ : state) {
    std::ostringstream out, err;
    if (runDatalogTool(args, out, err) != DATALOG_OK) std::abort();
    benchmark::DoNotOptimize(out.str().size());
  }
}

// "LABEL, datalog read per second": the datalog's size over the benchmark's time.
inline void printReadRate(std::ostream& out, const std::string& label, const Times& times,
                          const std::string& benchmark, const std::string& datalog) {
  const auto found = times.find(benchmark);
  if (found == times.end()) return;
  std::error_code error;
  const auto bytes = std::filesystem::file_size(datalog, error);
  printFigure(out, label + ", datalog read per second",
              static_cast<double>(bytes) / (found->second / 1e9) / 1e6, "MB/s");
}

}  // namespace bench

#endif  // ATE_BENCH_DATALOGCOMMAND_H_
