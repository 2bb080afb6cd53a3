// The station's one session with its driver: starts the driver as a child process, reads
// everything it writes into the event log, sends one command at a time and waits for its reply,
// and keeps track of what the driver is doing.
#ifndef ATE_STATION_STATIONSESSION_H_
#define ATE_STATION_STATIONSESSION_H_

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "ChildProcess.h"
#include "EventLog.h"

struct SessionOptions {
  std::string driver;      // the driver program
  std::string datalogDir;  // given to the driver as ATE_DATALOG_DIR
  std::chrono::milliseconds replyTimeout{10000};
};

// What the driver is doing, as far as its replies tell.
struct SessionState {
  enum class Driver { starting, ready, ended };
  Driver driver = Driver::starting;
  std::optional<int> exitStatus;            // ended: how, when known
  std::string project, flow;                // what was loaded last; empty after unload
  std::map<std::string, std::string> runs;  // runs going: command number -> setting name
  bool stopping = false;                    // stop was answered and runs are still going
  bool busy = false;                        // a command waits for its reply
};

// How one operator action went.
struct CommandResult {
  enum class Outcome { done, errorReply, timeout, notReady, driverEnded };
  Outcome outcome = Outcome::done;
  std::string command;  // the line sent, without its line end
  std::string reply;    // the reply line, when one came
  int code = 0;         // errorReply: the driver's code
  std::string message;  // for people: what happened
};

// Thread-safe: the HTTP handlers call it from many threads; commands are sent one at a time.
class StationSession {
 public:
  StationSession(SessionOptions options, EventLog& log);
  // Sends exit to the driver and waits for it to end (kills it if it won't).
  ~StationSession();
  StationSession(const StationSession&) = delete;
  StationSession& operator=(const StationSession&) = delete;

  // Starts the driver. Also a restart once the driver has ended; false (with a log line) when
  // a driver still runs or it can't be started.
  bool start();

  CommandResult load(const std::string& project, const std::string& flow,
                     const std::string& libraryPath, const std::string& flowPath);
  CommandResult run(const std::string& setting, const std::string& settingPath);
  CommandResult stop();
  CommandResult unload();

  // Sends exit and waits up to timeout for the driver to end.
  void exit(std::chrono::milliseconds timeout);

  SessionState state() const;

 private:
  enum class Kind { load, run, other };
  struct Pending {
    Kind kind;
    std::string project, flow, setting;
    std::optional<std::string> reply;
    int code = 0;
  };

  CommandResult send(Kind kind, const std::string& command, Pending pending);
  void readLoop(ChildProcess* driver);
  void handleLine(const std::string& line);
  void changed();

  const SessionOptions options_;
  EventLog& log_;
  std::mutex commandMutex_;  // held while a command waits for its reply: one at a time

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable replied_;
  SessionState state_;
  std::unique_ptr<ChildProcess> driver_;
  std::thread reader_;
  int nextNumber_ = 1;
  std::map<std::string, Pending> pending_;  // commands sent, by number, until answered
  std::set<std::string> endedEarly_;        // runs whose "execute done" came before their reply
  bool exiting_ = false;
};

#endif  // ATE_STATION_STATIONSESSION_H_
