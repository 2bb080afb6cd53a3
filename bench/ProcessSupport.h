// The real driver process, started and driven through its standard streams as a host does.
#ifndef ATE_BENCH_PROCESSSUPPORT_H_
#define ATE_BENCH_PROCESSSUPPORT_H_

#include <chrono>
#include <string>
#include <vector>

#include "host/ChildProcess.h"

namespace bench {

inline constexpr std::chrono::seconds LINE_TIMEOUT{60};

// A program started with piped standard streams; construction returns once it has written the
// driver's prompt line, so that whatever is measured next starts from there.
class Program {
 public:
  explicit Program(const std::vector<std::string>& argv);
  ~Program();
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  ChildProcess& process() { return process_; }

  // Writes text as it is. Throws when the program no longer reads.
  void write(const std::string& text);

  // The next line on standard output. Throws when none comes within LINE_TIMEOUT.
  std::string line();

  // Reads lines until one equals last; throws on a timeout.
  void until(const std::string& last);

  // The process id, found among this process's children by its program path.
  int id() const { return id_; }

  // The resident set size of the program (VmRSS in /proc/PID/status), in KiB.
  long residentKiB() const;

 private:
  ChildProcess process_;
  int id_ = -1;
};

// Sends "exit" to a driver and waits for it to end.
void exitDriver(Program& driver);

}  // namespace bench

#endif  // ATE_BENCH_PROCESSSUPPORT_H_
