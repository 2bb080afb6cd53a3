// The station's own work per touchdown of a lot: from reading a handler's SOT to sending the
// pass's run, plus from its execute done to sending the BIN, on a project whose test functions
// do nothing (lot_bench_project). It includes the lot's journal: the touchdown's records, the
// sync of the pass's datalog and of the bins' record before the BIN (printed alone too). The
// station's lot controller runs in this process with the real driver; the handler is this program,
// which answers each BIN with the next SOT at once.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationSession.h"
#include "station/lot/LotController.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// The lines the station sends to the handler.
class HandlerLines {
 public:
  bool send(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
    changed_.notify_all();
    return true;
  }
  // The next line that starts with prefix; empty when none came in time.
  std::string next(const std::string& prefix) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (!lines_.empty()) {
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        if (line.rfind(prefix, 0) == 0) return line;
      }
      if (!changed_.wait_for(lock, std::chrono::seconds(30), [&] { return !lines_.empty(); })) {
        return "";
      }
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
};

}  // namespace

int main() {
  constexpr int TOUCHDOWNS = 2000;
  TempDir dir;
  const fs::path project = fs::path(dir.path("projects")) / "bench";
  fs::create_directories(project);
  fs::copy_file(ATE_LOT_BENCH_PROJECT, project / fs::path(ATE_LOT_BENCH_PROJECT).filename());
  dir.write("projects/bench/flow.json", flowJson({{"f0"}, {"f1"}, {"f2"}, {"f3"}}));
  dir.write("projects/bench/sites.json", settingJson(1, false, {"D1", "D2", "D3", "D4"}));
  const fs::path datalogs = dir.path("datalog");

  SessionOptions session;
  session.driver = ATE_DRIVER_PATH;
  session.datalogDir = datalogs.u8string();
  session.lotFile = (datalogs / ".lot" / "lot.txt").u8string();
  EventLog log(10000);
  ProjectCatalog catalog(dir.path("projects"), ATE_LIBRARY_SUFFIX);
  StationSession driver(session, log);
  HandlerLines handler;
  LotOptions options;
  options.datalogDir = datalogs;
  options.lotFile = session.lotFile;
  options.nodeName = "bench";
  options.handlerConfigured = true;
  LotController lot(options, catalog, driver, log,
                    [&handler](const std::string& line) { return handler.send(line); });
  driver.start();
  if (!driver.waitReady(std::chrono::seconds(30))) {
    std::cerr << "the driver did not start\n";
    return 1;
  }
  lot.handlerConnection(true, "bench");
  LotRequest request;
  request.project = "bench";
  request.flow = "flow.json";
  request.setting = "sites.json";
  request.lotId = "BENCH";
  const LotAnswer started = lot.start(request);
  if (started.status != 200) {
    std::cerr << "the lot did not start: " << started.message << "\n";
    return 1;
  }

  std::vector<double> touchdowns;
  const Clock::time_point first = Clock::now();
  for (int i = 0; i < TOUCHDOWNS; ++i) {
    const Clock::time_point sot = Clock::now();
    lot.handlerLine("SOT 1 2 3 4", false);
    if (handler.next("BIN ").empty()) {
      std::cerr << "no BIN for touchdown " << i + 1 << "\n";
      return 1;
    }
    touchdowns.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sot).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - first).count();
  lot.end();

  std::vector<double> work = lot.stationWork();
  for (double& micros : work) micros /= 1000.0;
  std::sort(work.begin(), work.end());
  std::vector<double> syncs = lot.syncWork();
  for (double& micros : syncs) micros /= 1000.0;
  std::cout << TOUCHDOWNS << " touchdowns of 4 sites; the station's share of the newest "
            << work.size() << ": fastest " << work.front() << " ms, slowest " << work.back()
            << " ms" << std::endl;
  bench::printFigure(std::cout, "lot, station's work per touchdown, 90th percentile",
                     work[work.size() * 9 / 10], "ms");
  bench::printFigure(std::cout, "lot, station's work per touchdown, median", bench::median(work),
                     "ms", 1.0);
  bench::printFigure(std::cout, "lot, of which the datalog's and the journal's syncs, median",
                     bench::median(syncs), "ms");
  bench::printFigure(std::cout, "lot, whole touchdown (SOT to BIN), median",
                     bench::median(touchdowns), "ms");
  bench::printFigure(std::cout, "lot, units per hour with no index time",
                     4 * TOUCHDOWNS / seconds * 3600, "UPH");
  return 0;
}
