// The station's one session with its driver: starts the driver as a child process, reads
// everything it writes into the event log, sends one command at a time and waits for its reply,
// and keeps track of what the driver is doing.
#ifndef ATE_STATION_STATIONSESSION_H_
#define ATE_STATION_STATIONSESSION_H_

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/DriverConnection.h"
#include "station/EventLog.h"

struct SessionOptions {
  std::string driver;      // the driver program
  std::string datalogDir;  // given to the driver as ATE_DATALOG_DIR
  std::string lotFile;  // given to the driver as ATE_LOT_FILE (see docs/handler.md); may be empty
  // Where each driver started is named, for a station started again after a crash
  // (station/DriverPidFile.h); empty: nowhere.
  std::string pidFile;
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

  // Waits up to timeout for the driver to be ready for commands (its prompt); false when it
  // ended or didn't get there in time.
  bool waitReady(std::chrono::milliseconds timeout);
  // Waits up to timeout for every run to end: ok, timeout, or driverEnded when the driver ended
  // first (or there is none).
  host::Outcome waitForRuns(std::chrono::milliseconds timeout);

  SessionState state() const;

 private:
  CommandResult send(CommandType type, const std::vector<std::string>& args);
  void onLine(host::DriverConnection::Stream stream, const std::string& line);
  void onChange();
  void onEnd(std::optional<int> status);
  void changed();

  const SessionOptions options_;
  EventLog& log_;
  std::mutex commandMutex_;  // held while a command waits for its reply: one at a time

  mutable std::mutex mutex_;  // guards everything below
  std::shared_ptr<host::DriverConnection> driver_;
  std::string project_, flow_;                   // what was loaded last; empty after unload
  std::map<std::string, std::string> settings_;  // runs started: command number -> setting name
  bool stopping_ = false;                        // stop was answered while runs went
  bool busy_ = false;                            // a command waits for its reply
  bool exiting_ = false;
  bool startFailed_ = false;  // the last start() could not start a driver
};

#endif  // ATE_STATION_STATIONSESSION_H_
