// Drives the real driver program through its standard streams, as a host does.
#ifndef ATE_TESTS_SUPPORT_DRIVERSESSION_H_
#define ATE_TESTS_SUPPORT_DRIVERSESSION_H_

#include <chrono>
#include <deque>
#include <string>
#include <vector>

#include "host/ChildProcess.h"

// Long enough for a sanitizer build on a busy machine; a passing test never waits for it.
inline constexpr std::chrono::milliseconds TEST_TIMEOUT{20000};

// The start-up output every driver writes before it reads a command.
std::vector<std::string> startupLines();

class DriverSession {
 public:
  // Starts the driver and reads its start-up lines, which must be exactly startupLines().
  DriverSession();
  explicit DriverSession(ChildProcess::Options options);

  // Sends line with a line feed.
  void send(const std::string& line);

  // The next line on standard output or standard error. Every wait on the driver's output,
  // here and below, throws (failing the test at once, with what the driver wrote so far) when
  // the stream ends or what it waits for doesn't come within TEST_TIMEOUT.
  std::string out();
  std::string err();

  // Reads standard output until every line of wanted has come, in any order; returns every line
  // read, the wanted ones included, in order.
  std::vector<std::string> outUntilAll(const std::vector<std::string>& wanted);

  // Reads standard output up to and including a line equal to last; returns the lines before it.
  std::vector<std::string> outUntil(const std::string& last);

  // Reads standard output until the run command numbered number has written both its reply
  // ("N^done") and its "N^execute done" line, whose order isn't fixed. Checks that
  // "executeLoop execute" came before the reply, and returns every other line, in order.
  std::vector<std::string> runOutput(const std::string& number);

  // Sends "exit" and expects the driver to end with status 0 at once.
  void exit();

  // After the driver ended: every line it wrote that hasn't been read.
  std::vector<std::string> restOut();
  std::vector<std::string> restErr();

  ChildProcess& process() { return process_; }

 private:
  std::string next(ChildProcess::Stream stream, std::chrono::steady_clock::time_point deadline);

  ChildProcess process_;
  std::deque<std::string> seen_;  // the last lines read, both streams, for failure messages
};

#endif  // ATE_TESTS_SUPPORT_DRIVERSESSION_H_
