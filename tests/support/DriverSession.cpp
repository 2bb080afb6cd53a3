#include "DriverSession.h"

#include <gtest/gtest.h>

namespace {

ChildProcess::Options driverOptions() {
  ChildProcess::Options options;
  options.argv = {ATE_DRIVER_PATH};
  return options;
}

std::string lineOrMarker(ChildProcess& process, ChildProcess::Stream stream) {
  std::optional<std::string> line = process.readLine(stream, TEST_TIMEOUT);
  if (line) return *line;
  if (process.drained(stream)) return "<end>";
  ADD_FAILURE() << "no line from the driver within the timeout";
  return "<timeout>";
}

}  // namespace

std::vector<std::string> startupLines() {
  std::vector<std::string> lines;
  for (int progress = 10; progress <= 100; progress += 10) {
    lines.push_back("[process:" + std::to_string(progress) + "]");
  }
  lines.push_back("input 'exit' exit process.");
  return lines;
}

DriverSession::DriverSession() : DriverSession(driverOptions()) {}

DriverSession::DriverSession(ChildProcess::Options options) : process_(options) {
  for (const std::string& expected : startupLines()) {
    EXPECT_EQ(out(), expected);
  }
}

void DriverSession::send(const std::string& line) {
  EXPECT_TRUE(process_.write(line + "\n")) << "the driver stopped reading";
}

std::string DriverSession::out() { return lineOrMarker(process_, ChildProcess::Stream::out); }

std::string DriverSession::err() { return lineOrMarker(process_, ChildProcess::Stream::err); }

std::vector<std::string> DriverSession::outUntil(const std::string& last) {
  std::vector<std::string> before;
  for (;;) {
    std::string line = out();
    if (line == last) return before;
    if (line == "<timeout>" || line == "<end>") {
      ADD_FAILURE() << "expected the line \"" << last << "\"";
      return before;
    }
    before.push_back(std::move(line));
  }
}

std::vector<std::string> DriverSession::runOutput(const std::string& number) {
  std::vector<std::string> others;
  bool announced = false;
  bool replied = false;
  bool done = false;
  while (!(replied && done)) {
    std::string line = out();
    if (line == "<timeout>" || line == "<end>") {
      ADD_FAILURE() << "run " << number << " didn't finish; replied=" << replied;
      break;
    }
    if (line == "executeLoop execute" && !announced) {
      announced = true;
    } else if (line == number + "^done") {
      EXPECT_TRUE(announced) << "\"executeLoop execute\" must come before the reply";
      replied = true;
    } else if (line == number + "^execute done") {
      done = true;
    } else {
      others.push_back(std::move(line));
    }
  }
  return others;
}

void DriverSession::exit() {
  send("exit");
  EXPECT_EQ(process_.wait(TEST_TIMEOUT), std::optional<int>(0));
}

std::vector<std::string> DriverSession::restOut() {
  return process_.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT);
}

std::vector<std::string> DriverSession::restErr() {
  return process_.readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT);
}
