// ate-datalog pat apply (every rule, its outputs and report) against ate-datalog summary on the
// same wafer lot: 8 wafers of about 5,000 dies on 4 sites, 50 parametric tests a die (2 million
// PTRs, about 50 MB), written as a tester writes them.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/DatalogCommand.h"
#include "bench/RatioMain.h"
#include "stdf/DatalogTool.h"
#include "tests/support/StdfEncoder.h"

namespace {

constexpr int WAFERS = 8;
constexpr int RADIUS = 40;
constexpr int TESTS = 50;

struct Lot {
  bench::TempDir dir;
  std::string path;
  Lot() {
    using namespace stdftest;
    path = dir.path("lot.stdf");
    std::ofstream out(path, std::ios::binary);
    out << far(false) << mir(false, 1, "LOTB", "CHIP", "A");
    std::uint32_t state = 12345;
    const auto noise = [&] {
      state = state * 1664525u + 1013904223u;
      return static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    };
    int part = 0;
    for (int w = 1; w <= WAFERS; ++w) {
      std::string bytes = wir(false, "W" + std::to_string(w));
      for (int y = -RADIUS; y < RADIUS; ++y) {
        for (int x = -RADIUS; x < RADIUS; ++x) {
          if (std::hypot(x + 0.5, y + 0.5) > RADIUS) continue;
          const int site = part++ % 4 + 1;
          bytes += pir(false, site);
          for (int t = 1; t <= TESTS; ++t) {
            const float value = 1.0f + 0.002f * static_cast<float>(x) + 0.05f * noise();
            bytes += part <= 4 ? ptr(false, static_cast<unsigned>(t), site, 0, value,
                                     "T" + std::to_string(t), 0.0f, 2.0f, "V")
                               : shortPtr(false, static_cast<unsigned>(t), site, 0, value);
          }
          const bool failed = noise() > 0.47f;
          bytes += prrAt(false, site, failed ? 0x08 : 0, failed ? 5 : 1, failed ? 5 : 1, x, y, 0,
                         std::to_string(part));
        }
      }
      out << bytes << record(2, 20, Fields(false).u1(1).u1(255).u4(0).u4(0));
    }
    out << bin(false, true, 255, 0, 1, 0, 'P', "GOOD") << bin(false, true, 255, 0, 5, 0, 'F', "BAD")
        << record(1, 20, Fields(false).u4(0).c1(' ').cn("").cn(""));
  }
};

Lot& lotFile() {
  static Lot made;
  return made;
}

void summary(benchmark::State& state) {
  bench::runDatalogCommand(state, {"summary", lotFile().path});
}

void patApply(benchmark::State& state) {
  bench::runDatalogCommand(state,
                           {"pat", "apply", lotFile().path, "--out", lotFile().dir.path("pat")});
}

// Wall time for both: pat apply shares its work among the cores, which CPU time of the
// benchmark's thread wouldn't count.
BENCHMARK(summary)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(patApply)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::QuietStdout quiet;
  lotFile();
  return bench::runWithRatios(
      argc, argv, quiet.console(),
      {{"pat apply, 8 wafers x 5,000 dies x 50 tests: ate-datalog pat apply / summary",
        "patApply/iterations:1/real_time", "summary/iterations:1/real_time", 3.0}},
      [](std::ostream& out, const bench::Times& times) {
        bench::printReadRate(out, "pat apply", times, "patApply/iterations:1/real_time",
                             lotFile().path);
      });
}
