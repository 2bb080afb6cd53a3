// Stop: how long from a stop command to the run's "N^execute done" line, with a short pass (four
// no-op test functions). Each run is stopped once its first pass has begun (the bench project
// announces it); the time runs from writing the stop to reading the line.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>

#include "bench/BenchSupport.h"
#include "bench/ProcessSupport.h"

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  bench::TempDir dir;
  const std::string flow = dir.write("flow.json", bench::flowDocument(4, 3));
  // Two settings that run until stopped, under different names: the project counts each run's
  // passes from 1 again when the name changes.
  const std::string settings[] = {dir.write("a.json", bench::settingJson(0, false, {"runA"})),
                                  dir.write("b.json", bench::settingJson(0, false, {"runB"}))};

  bench::Program driver({ATE_DRIVER_PATH});
  driver.write("1^qv -p load " ATE_BENCH_PROJECT " " + flow + "\n");
  driver.until("1^done");

  std::vector<double> latencies;
  int number = 2;
  for (int run = 0; run < runs; ++run) {
    const std::string runNumber = std::to_string(number++);
    const std::string name = run % 2 == 0 ? "runA" : "runB";
    driver.write(runNumber + "^qv -p run " + settings[run % 2] + "\n");
    driver.until("[bench] " + name + " pass 1");
    const Clock::time_point stop = Clock::now();
    driver.write(std::to_string(number++) + "^qv -p stop\n");
    driver.until(runNumber + "^execute done");
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - stop).count());
  }
  bench::exitDriver(driver);

  std::sort(latencies.begin(), latencies.end());
  std::cout << runs << " runs stopped; fastest " << latencies.front() << " ms, slowest "
            << latencies.back() << " ms" << std::endl;
  bench::printFigure(std::cout, "stop to execute done, 90th percentile",
                     latencies[latencies.size() * 9 / 10], "ms");
  bench::printFigure(std::cout, "stop to execute done, median", bench::median(latencies), "ms",
                     0.5);
  return 0;
}
