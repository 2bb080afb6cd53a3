// The main program of the Google Benchmark programs: runs the registered benchmarks with
// repetitions in random interleaved order, then prints each ratio of the CPU time per iteration
// of a benchmark over that of its baseline, both measured in the same run. Each side counts with
// its fastest repetition: on a shared machine, other work only ever adds time, so the fastest
// repetition is the one closest to the cost of the code itself.
#ifndef ATE_BENCH_RATIOMAIN_H_
#define ATE_BENCH_RATIOMAIN_H_

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace bench {

struct Ratio {
  std::string label;      // what the figure line says
  std::string candidate;  // full benchmark names, as the console shows them
  std::string baseline;
  std::optional<double> target;  // the ratio it should stay within
};

// CPU time per iteration of the fastest repetition, in nanoseconds, by benchmark name; wall time
// for a benchmark that uses real time (its name ends in "/real_time").
using Times = std::map<std::string, double>;

// Runs the benchmarks that argv selects (Google Benchmark's own options all apply; without
// --benchmark_repetitions it repeats each benchmark 15 times, interleaved at random, and without
// --benchmark_min_time it runs each repetition for 0.2 s), printing their results on out, then
// the ratios whose two benchmarks both ran, then whatever extra prints. Returns the process's
// exit status.
int runWithRatios(int argc, char** argv, std::ostream& out, const std::vector<Ratio>& ratios,
                  const std::function<void(std::ostream&, const Times&)>& extra = {});

}  // namespace bench

#endif  // ATE_BENCH_RATIOMAIN_H_
