#include "bench/RatioMain.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>

#include "bench/BenchSupport.h"

namespace bench {
namespace {

// The console reporter (showing the aggregates of repeated benchmarks only), also keeping the
// CPU time per iteration of every repetition.
class TimesReporter : public benchmark::ConsoleReporter {
 public:
  TimesReporter() : ConsoleReporter(OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& reports) override {
    bool repeated = false;
    for (const Run& run : reports) {
      if (run.error_occurred) continue;
      if (run.run_type == Run::RT_Aggregate || run.repetitions > 1) repeated = true;
      if (run.run_type != Run::RT_Iteration) continue;
      // A benchmark that waits on another thread or process (UseRealTime) counts wall time.
      const std::string name = run.run_name.str();
      const bool realTime =
          name.size() >= 10 && name.compare(name.size() - 10, 10, "/real_time") == 0;
      const double nanoseconds = (realTime ? run.GetAdjustedRealTime() : run.GetAdjustedCPUTime()) *
                                 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      times_[run.run_name.str()].push_back(nanoseconds);
    }
    const bool aggregates = !reports.empty() && reports.front().run_type == Run::RT_Aggregate;
    if (!repeated || aggregates) ConsoleReporter::ReportRuns(reports);
  }

  Times fastest() const {
    Times result;
    for (const auto& [name, times] : times_) {
      result[name] = *std::min_element(times.begin(), times.end());
    }
    return result;
  }

 private:
  std::map<std::string, std::vector<double>> times_;
};

bool hasOption(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], name, std::strlen(name)) == 0) return true;
  }
  return false;
}

}  // namespace

int runWithRatios(int argc, char** argv, std::ostream& out, const std::vector<Ratio>& ratios,
                  const std::function<void(std::ostream&, const Times&)>& extra) {
  std::vector<std::string> storage(argv, argv + argc);
  if (!hasOption(argc, argv, "--benchmark_repetitions")) {
    storage.push_back("--benchmark_repetitions=15");
    if (!hasOption(argc, argv, "--benchmark_enable_random_interleaving")) {
      storage.push_back("--benchmark_enable_random_interleaving=true");
    }
  }
  if (!hasOption(argc, argv, "--benchmark_min_time")) {
    storage.push_back("--benchmark_min_time=0.2");
  }
  std::vector<char*> args;
  for (std::string& arg : storage) args.push_back(arg.data());
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  TimesReporter reporter;
  reporter.SetOutputStream(&out);
  reporter.SetErrorStream(&out);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();

  const Times fastest = reporter.fastest();
  out << "\n";
  for (const Ratio& ratio : ratios) {
    const auto candidate = fastest.find(ratio.candidate);
    const auto baseline = fastest.find(ratio.baseline);
    if (candidate == fastest.end() || baseline == fastest.end() || baseline->second <= 0) continue;
    printFigure(out, ratio.label, candidate->second / baseline->second, "", ratio.target);
  }
  if (extra) extra(out, fastest);
  out.flush();
  return 0;
}

}  // namespace bench
