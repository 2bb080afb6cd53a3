// Drives the real driver program through its standard streams, as a host does.
#ifndef ATE_TESTS_SUPPORT_DRIVERSESSION_H_
#define ATE_TESTS_SUPPORT_DRIVERSESSION_H_

#include <chrono>
#include <string>
#include <vector>

#include "ChildProcess.h"

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

  // The next line on standard output or standard error; "<timeout>" (and a test failure) when
  // none comes in time, "<end>" when the stream has ended.
  std::string out();
  std::string err();

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
  ChildProcess process_;
};

#endif  // ATE_TESTS_SUPPORT_DRIVERSESSION_H_
