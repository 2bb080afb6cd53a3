// Commands: 100,000 stop commands written to the driver's standard input at once and answered
// in order, against the least a command program can do (ReplyLines.cpp): read lines, write one
// flushed reply line per line. Both programs have written their prompt line before the clock
// starts; it stops at the last reply. They take turns, batch after batch, and each counts with
// the median of its batches: how three processes' threads share two cores from one batch to the
// next varies both ways, so the median is steadier than the fastest batch.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "bench/BenchSupport.h"
#include "bench/ProcessSupport.h"

namespace {

constexpr int COMMANDS = 100000;

using Clock = std::chrono::steady_clock;

// Sends COMMANDS stop commands numbered from first; returns the seconds until the last reply.
double batch(bench::Program& program, long first) {
  std::string text;
  for (long number = first; number < first + COMMANDS; ++number) {
    text += std::to_string(number) + "^qv -p stop\n";
  }
  const Clock::time_point start = Clock::now();
  program.write(text);
  for (long number = first; number < first + COMMANDS; ++number) {
    const std::string reply = program.line();
    if (reply != std::to_string(number) + "^done") {
      throw std::runtime_error("reply \"" + reply + "\" where " + std::to_string(number) +
                               "^done was due");
    }
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 21;
  bench::Program driver({ATE_DRIVER_PATH});
  bench::Program bare({ATE_REPLY_LINES_PATH});
  std::vector<double> driverTimes;
  std::vector<double> bareTimes;
  long next = 1;
  for (int round = 0; round < rounds; ++round) {
    // Alternate which goes first, so that neither always follows the other.
    for (int turn = 0; turn < 2; ++turn) {
      const bool driverTurn = (round + turn) % 2 == 0;
      const double seconds = batch(driverTurn ? driver : bare, next);
      next += COMMANDS;
      (driverTurn ? driverTimes : bareTimes).push_back(seconds);
    }
  }
  bench::exitDriver(driver);
  bench::exitDriver(bare);

  const double driverMedian = bench::median(driverTimes);
  const double bareMedian = bench::median(bareTimes);
  const double driverBest = *std::min_element(driverTimes.begin(), driverTimes.end());
  const double bareBest = *std::min_element(bareTimes.begin(), bareTimes.end());
  std::cout << rounds << " batches each of " << COMMANDS << " stop commands; fastest "
            << driverBest * 1e3 << " ms (driver), " << bareBest * 1e3 << " ms (bare program)"
            << std::endl;
  bench::printFigure(std::cout, "commands, driver: median time per stop command",
                     driverMedian / COMMANDS * 1e6, "us");
  bench::printFigure(std::cout, "commands, bare program: median time per line",
                     bareMedian / COMMANDS * 1e6, "us");
  bench::printFigure(std::cout, "commands, 100000 stops: driver / bare program, fastest batches",
                     driverBest / bareBest);
  bench::printFigure(std::cout, "commands, 100000 stops: driver / bare program",
                     driverMedian / bareMedian, "", 1.15);
  return 0;
}
