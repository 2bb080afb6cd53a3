// libdatalog: what recording a measurement costs against the least work that writes the same
// records, and what ending a pass costs with few and with a million parts already in the file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/RatioMain.h"
#include "datalog/datalog.h"

namespace {

constexpr int DEVICES = 4;
constexpr int PARAMS = 5;

struct Setup {
  bench::TempDir dir;
  FlowMessage flow;
  Setting setting;
  Setup() : flow(bench::measureFlow(PARAMS)), setting(bench::devicesSetting(DEVICES)) {}
};

Setup& setup() {
  static Setup made;
  return made;
}

double valueOf(int i) { return 0.9 + (i % 23) * 0.05; }

void openDatalog(const char* name) {
  datalog::Lot lot;
  lot.folder = setup().dir.path(name);
  if (!datalog::open(lot)) std::abort();
}

// One pass through the library: parts, every value judged and recorded, the pass written. Each
// parameter is measured state.range(0) / 20 times per device.
void datalogPass(benchmark::State& state) {
  const auto REPEATS = state.range(0) / (DEVICES * PARAMS);
  openDatalog("library");
  const Configure configure(setup().flow, setup().setting);
  const std::vector<Result>& results = configure.flowMessage.testItems[0].results;
  const std::vector<std::string>& devices = configure.setting.dutSetting.selectDUT;
  for (auto _ : state) {
    datalog::startPass(configure.setting.dutSetting);
    {
      datalog::TestLog log(configure, "measure");
      int i = 0;
      for (int r = 0; r < REPEATS; ++r) {
        for (const std::string& device : devices) {
          for (const Result& result : results) {
            benchmark::DoNotOptimize(log.record(device, result, valueOf(i++)));
          }
        }
      }
    }
    datalog::endPass();
  }
  datalog::close();
}

// The least work: the same PTRs, each encoded into a buffer on the stack with the limits
// compared and appended to the pass's bytes, and one fwrite per pass.
struct Ptr {
  char bytes[128];
  std::size_t used = 0;
  void u1(unsigned v) { bytes[used++] = static_cast<char>(v); }
  void u4(std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) u1((v >> shift) & 0xFF);
  }
  void r4(float f) {
    std::uint32_t v;
    std::memcpy(&v, &f, 4);
    u4(v);
  }
  void cn(const std::string& s) {
    u1(static_cast<unsigned>(s.size()));
    std::memcpy(bytes + used, s.data(), s.size());
    used += s.size();
  }
};

void plainPass(benchmark::State& state) {
  const auto REPEATS = state.range(0) / (DEVICES * PARAMS);
  const std::string path = setup().dir.path("plain.stdf");
  std::FILE* file = std::fopen(path.c_str(), "wb");
  const std::vector<Result>& results = setup().flow.testItems[0].results;
  std::string pass;
  for (auto _ : state) {
    pass.clear();
    int i = 0;
    for (int r = 0; r < REPEATS; ++r) {
      for (int d = 0; d < DEVICES; ++d) {
        for (const Result& result : results) {
          const double value = valueOf(i++);
          const bool passed = value >= 1.0 && value <= 2.0;
          Ptr out;
          out.u4(0x0A0F0000);  // length patched below, REC_TYP 15, REC_SUB 10
          out.u4(static_cast<std::uint32_t>(result.paramId));
          out.u1(1), out.u1(static_cast<unsigned>(d + 1));
          out.u1(passed ? 0 : 0x80);
          out.u1(0xC0 | (value > 2.0 ? 0x08 : 0) | (value < 1.0 ? 0x10 : 0));
          out.r4(static_cast<float>(value));
          out.cn(result.paramName);
          out.u1(0), out.u1(0x0E), out.u1(0), out.u1(0), out.u1(0);
          out.r4(1.0f), out.r4(2.0f);
          out.cn(result.unit);
          out.u1(0), out.u1(0), out.u1(0);
          out.r4(0.0f), out.r4(0.0f);
          out.bytes[0] = static_cast<char>((out.used - 4) & 0xFF);
          out.bytes[1] = static_cast<char>((out.used - 4) >> 8);
          pass.append(out.bytes, out.used);
          benchmark::DoNotOptimize(passed);
        }
      }
    }
    std::fwrite(pass.data(), 1, pass.size(), file);
    std::fflush(file);
  }
  std::fclose(file);
}

// Ending a pass of four parts with state.range(0) parts already in the file.
void endPass(benchmark::State& state) {
  openDatalog(("end-" + std::to_string(state.range(0))).c_str());
  const Configure configure(setup().flow, setup().setting);
  // The same four sites either way: the summaries grow with sites, bins and tests, not parts.
  for (std::int64_t logged = 0; logged < state.range(0); logged += DEVICES) {
    datalog::startPass(configure.setting.dutSetting);
    datalog::endPass();
  }
  for (auto _ : state) {
    state.PauseTiming();
    datalog::startPass(configure.setting.dutSetting);
    {
      datalog::TestLog log(configure, "measure");
      for (const std::string& device : configure.setting.dutSetting.selectDUT) {
        for (const Result& result : configure.flowMessage.testItems[0].results) {
          log.record(device, result, 1.5);
        }
      }
    }
    state.ResumeTiming();
    datalog::endPass();
  }
  datalog::close();
}

BENCHMARK(datalogPass)->ArgName("values")->Arg(200)->Arg(1000);
BENCHMARK(plainPass)->ArgName("values")->Arg(200)->Arg(1000);
BENCHMARK(endPass)->ArgName("parts")->Arg(12)->Arg(1000000)->Iterations(2000);

}  // namespace

int main(int argc, char** argv) {
  bench::QuietStdout quiet;
  return bench::runWithRatios(
      argc, argv, quiet.console(),
      {{"datalog, recording a measurement, 200 per pass: library / encoded by hand, one fwrite "
        "per pass",
        "datalogPass/values:200", "plainPass/values:200", 1.3},
       {"datalog, recording a measurement, 1000 per pass: library / encoded by hand, one fwrite "
        "per pass",
        "datalogPass/values:1000", "plainPass/values:1000", 1.3},
       {"datalog, end of pass: 1,000,000 / 12 parts logged",
        "endPass/parts:1000000/iterations:2000", "endPass/parts:12/iterations:2000", 1.1}},
      [](std::ostream& out, const bench::Times& times) {
        for (int values : {200, 1000}) {
          const auto found = times.find("datalogPass/values:" + std::to_string(values));
          if (found != times.end()) {
            bench::printFigure(out,
                               "datalog, measurements recorded per second, " +
                                   std::to_string(values) + " per pass",
                               values * 1e9 / found->second, "/s");
          }
        }
        for (const char* name :
             {"endPass/parts:12/iterations:2000", "endPass/parts:1000000/iterations:2000"}) {
          const auto time = times.find(name);
          if (time != times.end()) {
            bench::printFigure(out, std::string("datalog, ") + name, time->second / 1000.0, "us");
          }
        }
      });
}
