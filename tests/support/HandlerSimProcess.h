// ate-handler-sim started as a child process for the station's tests (which define
// ATE_HANDLER_SIM_PATH): it listens on a free loopback port, plays its lot against the station
// and is read for every line it exchanged.
#ifndef ATE_TESTS_SUPPORT_HANDLERSIMPROCESS_H_
#define ATE_TESTS_SUPPORT_HANDLERSIMPROCESS_H_

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "host/ChildProcess.h"
#include "tests/support/DriverSession.h"

class Handler {
 public:
  using Lines = std::vector<std::string>;

  explicit Handler(std::vector<std::string> args) {
    ChildProcess::Options options;
    options.argv = {ATE_HANDLER_SIM_PATH, "--port", "0", "--index", "1", "--timeout", "60"};
    options.argv.insert(options.argv.end(), args.begin(), args.end());
    process_ = std::make_unique<ChildProcess>(options);
    const std::regex listening("listening on .*:([0-9]+)$");
    for (const auto deadline = std::chrono::steady_clock::now() + TEST_TIMEOUT;
         port_ == 0 && std::chrono::steady_clock::now() < deadline;) {
      const std::optional<std::string> line =
          process_->readLine(ChildProcess::Stream::out, std::chrono::milliseconds(100));
      std::smatch match;
      if (line && std::regex_search(*line, match, listening)) port_ = std::stoi(match[1]);
      if (!line && process_->drained(ChildProcess::Stream::out)) break;
    }
    if (port_ == 0) ADD_FAILURE() << "the simulated handler never said where it listens";
  }

  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }

  // Its lines until it has ended, and its exit status.
  std::pair<Lines, std::optional<int>> finish() {
    const Lines lines = process_->readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT);
    const std::optional<int> status = process_->wait(TEST_TIMEOUT);
    return {lines, status};
  }

 private:
  std::unique_ptr<ChildProcess> process_;
  int port_ = 0;
};

#endif  // ATE_TESTS_SUPPORT_HANDLERSIMPROCESS_H_
