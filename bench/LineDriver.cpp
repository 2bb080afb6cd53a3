// A stand-in for the driver that writes timed lines, for event_delay_bench: the driver's prompt,
// then after a pause ATE_BENCH_LINES lines (default 400) "bench line NS", ATE_BENCH_GAP_MS (default
// 10) apart, NS being the steady clock (CLOCK_MONOTONIC, the same for every process) at the
// write. Reads commands meanwhile and answers none; ends on "exit" or at the end of its input.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

namespace {

int fromEnvironment(const char* name, int otherwise) {
  const char* value = std::getenv(name);
  return value != nullptr && std::atoi(value) > 0 ? std::atoi(value) : otherwise;
}

}  // namespace

int main() {
  std::mutex out;
  std::cout << "input 'exit' exit process." << std::endl;
  const int lines = fromEnvironment("ATE_BENCH_LINES", 400);
  const auto gap = std::chrono::milliseconds(fromEnvironment("ATE_BENCH_GAP_MS", 10));
  // The pause lets the reader open its event stream before the first timed line.
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    for (int i = 0; i < lines; ++i) {
      {
        std::lock_guard<std::mutex> lock(out);
        std::cout << "bench line "
                  << std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::steady_clock::now().time_since_epoch())
                         .count()
                  << std::endl;
      }
      std::this_thread::sleep_for(gap);
    }
  });
  writer.detach();
  for (std::string line; std::getline(std::cin, line);) {
    if (line == "exit") break;
  }
  std::lock_guard<std::mutex> lock(out);
  std::cout.flush();
  std::_Exit(0);
}
