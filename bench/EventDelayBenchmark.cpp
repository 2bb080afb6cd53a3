// The delay from a line the driver writes to its "line" event on the station's event stream
// (/api/events): a real ate-station with line_driver as its driver, which writes timed lines;
// the delay of each is the steady clock when its event is read here minus the time in the line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <regex>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "host/ChildProcess.h"
#include "station/http/Socket.h"

int main(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 400;
  bench::TempDir dir;
  const std::string projects = dir.path("projects"), datalogs = dir.path("datalog");
  std::filesystem::create_directories(projects);
  ChildProcess::Options options;
  options.argv = {ATE_STATION_PATH, "--projects",  projects,   "--datalogs",        datalogs,
                  "--listen",       "127.0.0.1:0", "--driver", ATE_LINE_DRIVER_PATH};
  options.environment = {{"ATE_BENCH_LINES", std::to_string(lines)}, {"ATE_BENCH_GAP_MS", "10"}};
  ChildProcess station(options);
  const std::optional<std::string> banner =
      station.readLine(ChildProcess::Stream::out, std::chrono::seconds(20));
  std::smatch port;
  if (!banner || !std::regex_search(*banner, port, std::regex("127\\.0\\.0\\.1:([0-9]+)/"))) {
    std::cerr << "no address from the station: " << banner.value_or("<none>") << std::endl;
    return 1;
  }

  http::Socket socket = http::Socket::connect("127.0.0.1", std::stoi(port[1]));
  socket.setNoDelay();
  if (!socket.sendAll("GET /api/events HTTP/1.1\r\nHost: 127.0.0.1:" + port[1].str() +
                      "\r\n\r\n")) {
    std::cerr << "cannot ask for the event stream" << std::endl;
    return 1;
  }
  const std::regex timed("\"text\":\"bench line ([0-9]+)\"");
  const std::atomic<bool> never{false};
  std::vector<double> delays;
  std::string buffer;
  std::size_t earlier = 0;  // lines written before the stream answered, not counted
  Clock::time_point opened{};
  for (const auto deadline = Clock::now() + std::chrono::seconds(60);
       delays.size() + earlier < static_cast<std::size_t>(lines) && Clock::now() < deadline;) {
    if (!socket.receiveSome(buffer, std::chrono::seconds(5), never)) break;
    const Clock::time_point now = Clock::now();
    if (opened == Clock::time_point{}) opened = now;
    std::size_t used = 0;
    for (std::sregex_iterator at(buffer.begin(), buffer.end(), timed), end; at != end; ++at) {
      const Clock::time_point written{std::chrono::nanoseconds(std::stoll((*at)[1]))};
      if (written < opened) {
        ++earlier;
      } else {
        delays.push_back(std::chrono::duration<double, std::milli>(now - written).count());
      }
      used = static_cast<std::size_t>(at->position() + at->length());
    }
    buffer.erase(0, used);
  }
  station.kill();
  station.wait(std::chrono::seconds(10));
  if (delays.empty()) {
    std::cerr << "no timed line came on the event stream" << std::endl;
    return 1;
  }
  std::sort(delays.begin(), delays.end());
  std::cout << delays.size() << " lines on the event stream (" << earlier
            << " written before it opened, not counted); fastest " << delays.front()
            << " ms, slowest " << delays.back() << " ms" << std::endl;
  bench::printFigure(std::cout, "driver line to its event on /api/events, 90th percentile",
                     delays[delays.size() * 9 / 10], "ms");
  bench::printFigure(std::cout, "driver line to its event on /api/events, median",
                     bench::median(delays), "ms", 5.0);
  return 0;
}
