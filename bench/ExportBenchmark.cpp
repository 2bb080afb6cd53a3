// ate-datalog export against ate-datalog summary on the same datalog: 20,000 parts of 50
// parametric tests each on 4 sites, written by libdatalog (1,000,000 PTRs).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/DatalogCommand.h"
#include "bench/RatioMain.h"
#include "datalog/datalog.h"
#include "stdf/DatalogTool.h"

namespace {

constexpr int DEVICES = 4;
constexpr int PARTS = 20000;
constexpr int TESTS = 50;

struct Datalog {
  bench::TempDir dir;
  std::string path;
  Datalog() {
    FlowMessage flow = bench::measureFlow(TESTS);
    Setting setting = bench::devicesSetting(DEVICES);
    datalog::Lot lot;
    lot.lotId = "LOT0001";
    lot.partType = "PMIC";
    lot.folder = dir.path("datalogs");
    if (!datalog::open(lot)) std::abort();
    const Configure configure(flow, setting);
    int i = 0;
    for (int pass = 0; pass < PARTS / DEVICES; ++pass) {
      datalog::startPass(configure.setting.dutSetting);
      {
        datalog::TestLog log(configure, "measure");
        for (const std::string& device : configure.setting.dutSetting.selectDUT) {
          for (const Result& result : configure.flowMessage.testItems[0].results) {
            log.record(device, result, 0.95 + (i++ % 23) * 0.05);
          }
        }
      }
      datalog::endPass();
    }
    path = datalog::path();
    datalog::close();
  }
};

Datalog& datalogFile() {
  static Datalog made;
  return made;
}

void summary(benchmark::State& state) {
  bench::runDatalogCommand(state, {"summary", datalogFile().path});
}

void exportTables(benchmark::State& state) {
  bench::runDatalogCommand(
      state, {"export", "--to", datalogFile().dir.path("tables"), datalogFile().path});
}

BENCHMARK(summary)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(exportTables)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  bench::QuietStdout quiet;
  datalogFile();
  return bench::runWithRatios(
      argc, argv, quiet.console(),
      {{"export, 20,000 parts x 50 tests: ate-datalog export / summary",
        "exportTables/iterations:1", "summary/iterations:1", 3.0}},
      [](std::ostream& out, const bench::Times& times) {
        bench::printReadRate(out, "export", times, "exportTables/iterations:1", datalogFile().path);
        const auto found = times.find("exportTables/iterations:1");
        if (found == times.end()) return;
        std::error_code error;
        const auto bytes = std::filesystem::file_size(datalogFile().path, error);
        std::uintmax_t written = 0;
        for (const auto& entry :
             std::filesystem::recursive_directory_iterator(datalogFile().dir.path("tables"))) {
          if (entry.is_regular_file()) written += entry.file_size();
        }
        bench::printFigure(out, "export, tables written / datalog size",
                           static_cast<double>(written) / static_cast<double>(bytes));
      });
}
