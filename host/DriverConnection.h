// A host's connection to one driver process: starts it, waits for its prompt, numbers and sends
// commands, matches their replies, and follows runs until their "N^execute done". It reaches the
// driver only through its standard streams, as any host does.
//
// A thread of the connection's own reads everything the driver writes and hands every line to
// the line handler, in the order each stream has them; the other methods may be called from any
// thread. Commands may be sent from several threads; each waits for its own reply.
#ifndef ATE_HOST_DRIVERCONNECTION_H_
#define ATE_HOST_DRIVERCONNECTION_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/ChildProcess.h"
#include "host/DriverReply.h"

namespace host {

// How a wait on the driver ended.
enum class Outcome {
  ok,          // what was waited for came (for a command: its reply, done or error)
  timeout,     // it didn't come in time
  driverEnded  // the driver's output ended first
};

struct CommandReply {
  Outcome outcome = Outcome::ok;
  std::string number;  // the command's number
  std::string line;    // the command line sent, without its line end
  std::string reply;   // the reply line, when one came
  int code = 0;        // the reply's result code: 0 for done
};

class DriverConnection {
 public:
  using Stream = ChildProcess::Stream;
  // Every line the driver writes, on the connection's thread. reply tells what the line is as a
  // reply to one of this connection's commands (kind none for any other line).
  using LineHandler =
      std::function<void(Stream stream, const std::string& line, const DriverReply& reply)>;

  struct Options {
    ChildProcess::Options process;  // process.argv[0]: the driver program
    // After the output ends: how long the rest of standard error and the exit are waited for.
    std::chrono::milliseconds endWait{5000};
    LineHandler onLine;
    // On the connection's thread, after what prompted() or runsGoing() tell has changed, or a
    // command's reply has come.
    std::function<void()> onChange;
    // Once, on the connection's thread, when the driver's output has ended, what it still wrote
    // on standard error has been handed over and ended() is true: its exit status, empty when it
    // didn't end in time (-1 when a signal ended it).
    std::function<void(std::optional<int> status)> onEnd;
  };

  // Starts the driver. Throws std::runtime_error when there is no program at the path or it
  // can't be started.
  explicit DriverConnection(Options options);
  // Kills the driver if it still runs, and waits for the connection's thread.
  ~DriverConnection();
  DriverConnection(const DriverConnection&) = delete;
  DriverConnection& operator=(const DriverConnection&) = delete;

  // Waits for the prompt line that ends the driver's start-up output.
  Outcome waitForPrompt(std::chrono::milliseconds timeout);
  bool prompted() const;

  // A command numbered with this connection's next number, not yet sent: its number and line.
  struct Command {
    std::string number;
    std::string line;
    CommandType type = UNKNOWN;
  };
  Command prepare(CommandType type, const std::vector<std::string>& args = {});
  // Sends command and waits up to timeout for its reply. A run answered with done is followed
  // until its "execute done" (see runsGoing()).
  CommandReply send(const Command& command, std::chrono::milliseconds timeout);
  // prepare() and send() in one.
  CommandReply command(CommandType type, const std::vector<std::string>& args,
                       std::chrono::milliseconds timeout);

  // The numbers of the runs this connection started that haven't ended yet.
  std::set<std::string> runsGoing() const;
  // Waits until every run started so far has ended.
  Outcome waitForRuns(std::chrono::milliseconds timeout);

  // Waits up to timeout for the driver to end of its own accord: true when it has.
  bool waitForEnd(std::chrono::milliseconds timeout);
  // Writes "exit" and waits up to timeout for the driver's output to end and the driver with it.
  // ok once it has ended (exitStatus() then tells how); timeout when it didn't.
  Outcome exit(std::chrono::milliseconds timeout);
  // Writes line and a line feed as they are, numbered or not. False when the driver no longer
  // reads its input.
  bool writeLine(const std::string& line);
  void kill();

  // Whether the driver's output has ended (and the end handler has run).
  bool ended() const;
  // Once ended(): how the driver ended (see EndHandler).
  std::optional<int> exitStatus() const;

  ChildProcess& process() { return *process_; }

 private:
  struct Pending {
    CommandType type = UNKNOWN;
    std::optional<std::string> reply;
    int code = 0;
  };

  void readLoop();
  void handleOut(const std::string& line);
  template <typename Done>
  Outcome waitUntil(std::chrono::milliseconds timeout, Done done);

  const Options options_;
  std::unique_ptr<ChildProcess> process_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  int nextNumber_ = 1;
  bool prompted_ = false;
  bool ended_ = false;
  std::optional<int> exitStatus_;
  std::map<std::string, Pending> pending_;  // commands sent, by number, until answered
  std::set<std::string> issued_;            // every number sent
  std::set<std::string> runs_;              // runs answered with done and not yet ended
  std::set<std::string> endedEarly_;        // runs whose "execute done" came before their reply

  std::thread reader_;  // last: starts once everything above is there
};

}  // namespace host

#endif  // ATE_HOST_DRIVERCONNECTION_H_
