#include "tests/support/DriverSession.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

#include "host/DriverReply.h"

namespace {

ChildProcess::Options driverOptions() {
  ChildProcess::Options options;
  options.argv = {ATE_DRIVER_PATH};
  return options;
}

}  // namespace

std::vector<std::string> startupLines() {
  std::vector<std::string> lines;
  for (int progress = 10; progress <= 100; progress += 10) {
    lines.push_back("[process:" + std::to_string(progress) + "]");
  }
  lines.emplace_back(PROMPT_LINE);
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

std::string DriverSession::next(ChildProcess::Stream stream,
                                std::chrono::steady_clock::time_point deadline) {
  const bool isOut = stream == ChildProcess::Stream::out;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  if (std::optional<std::string> line =
          process_.readLine(stream, std::max(left, std::chrono::milliseconds(0)))) {
    seen_.push_back((isOut ? "out: " : "err: ") + *line);
    if (seen_.size() > 100) seen_.pop_front();
    return *line;
  }
  // An exception ends the test however deep in a loop the wait is; GoogleTest reports it.
  std::string message =
      std::string("standard ") + (isOut ? "output" : "error") +
      (process_.drained(stream) ? " ended" : " didn't give the line awaited in time") +
      "; the last lines the driver wrote:";
  for (const std::string& line : seen_) message += "\n  " + line;
  if (process_.drained(stream)) {
    for (const std::string& line :
         process_.readRemaining(ChildProcess::Stream::err, std::chrono::seconds(1))) {
      message += "\n  err: " + line;
    }
  }
  throw std::runtime_error(message);
}

std::string DriverSession::out() {
  return next(ChildProcess::Stream::out, std::chrono::steady_clock::now() + TEST_TIMEOUT);
}

std::string DriverSession::err() {
  return next(ChildProcess::Stream::err, std::chrono::steady_clock::now() + TEST_TIMEOUT);
}

std::vector<std::string> DriverSession::outUntilAll(const std::vector<std::string>& wanted) {
  std::vector<std::string> missing = wanted;
  std::vector<std::string> lines;
  const auto deadline = std::chrono::steady_clock::now() + TEST_TIMEOUT;
  while (!missing.empty()) {
    lines.push_back(next(ChildProcess::Stream::out, deadline));
    const auto found = std::find(missing.begin(), missing.end(), lines.back());
    if (found != missing.end()) missing.erase(found);
  }
  return lines;
}

std::vector<std::string> DriverSession::outUntil(const std::string& last) {
  std::vector<std::string> lines = outUntilAll({last});
  lines.pop_back();
  return lines;
}

std::vector<std::string> DriverSession::runOutput(const std::string& number) {
  std::vector<std::string> others;
  bool announced = false;
  bool replied = false;
  bool done = false;
  const auto deadline = std::chrono::steady_clock::now() + TEST_TIMEOUT;
  while (!(replied && done)) {
    std::string line = next(ChildProcess::Stream::out, deadline);
    const DriverReply reply = parseReply(line);
    const bool ours = reply.number == number;
    if (line == EXECUTE_LOOP_LINE && !announced) {
      announced = true;
    } else if (ours && reply.kind == DriverReply::Kind::done) {
      EXPECT_TRUE(announced) << "\"executeLoop execute\" must come before the reply";
      replied = true;
    } else if (ours && reply.kind == DriverReply::Kind::executeDone) {
      done = true;
    } else {
      others.push_back(std::move(line));
    }
  }
  return others;
}

void DriverSession::exit() {
  send(EXIT_MARK);
  EXPECT_EQ(process_.wait(TEST_TIMEOUT), std::optional<int>(0));
}

std::vector<std::string> DriverSession::restOut() {
  return process_.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT);
}

std::vector<std::string> DriverSession::restErr() {
  return process_.readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT);
}
