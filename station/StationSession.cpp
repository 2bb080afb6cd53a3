#include "station/StationSession.h"

#include <filesystem>

#include "station/DriverPidFile.h"
#include "utils/ErrorType.h"

using host::DriverConnection;
using host::Outcome;

namespace {

std::string seconds(std::chrono::milliseconds duration) {
  const long long whole = duration.count() / 1000;
  const long long tenths = duration.count() % 1000 / 100;
  return std::to_string(whole) + (tenths != 0 ? "." + std::to_string(tenths) : "") + " s";
}

}  // namespace

StationSession::StationSession(SessionOptions options, EventLog& log)
    : options_(std::move(options)), log_(log) {}

StationSession::~StationSession() {
  exit(std::chrono::seconds(5));
  if (!options_.pidFile.empty() && state().driver == SessionState::Driver::ended) {
    forgetDriver(options_.pidFile);
  }
  std::shared_ptr<DriverConnection> driver;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    driver = std::move(driver_);
  }
}

void StationSession::changed() { log_.touch(); }

bool StationSession::start() {
  std::shared_ptr<DriverConnection> old;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (driver_ && !driver_->ended()) return false;
    old = std::move(driver_);
  }
  // The old connection's thread is done or about to be; it may still be in a handler, which
  // takes the lock.
  old.reset();

  std::error_code error;
  std::filesystem::create_directories(options_.datalogDir, error);
  DriverConnection::Options connection;
  connection.process.argv = {options_.driver};
  connection.process.environment = {{"ATE_DATALOG_DIR", options_.datalogDir}};
  if (!options_.lotFile.empty())
    connection.process.environment.emplace_back("ATE_LOT_FILE", options_.lotFile);
  connection.onLine = [this](DriverConnection::Stream stream, const std::string& line,
                             const DriverReply&) { onLine(stream, line); };
  connection.onChange = [this] { onChange(); };
  connection.onEnd = [this](std::optional<int> status) { onEnd(status); };
  log_.append(LogLine::Kind::station, "starting " + options_.driver);
  std::lock_guard<std::mutex> lock(mutex_);
  project_.clear();
  flow_.clear();
  settings_.clear();
  stopping_ = false;
  exiting_ = false;
  startFailed_ = false;
  try {
    driver_ = std::make_shared<DriverConnection>(connection);
    if (!options_.pidFile.empty()) recordDriver(options_.pidFile, driver_->process().id());
  } catch (const std::exception& failure) {
    startFailed_ = true;
    log_.append(LogLine::Kind::station, std::string("cannot start the driver: ") + failure.what());
    changed();
    return false;
  }
  changed();
  return true;
}

void StationSession::onLine(DriverConnection::Stream stream, const std::string& line) {
  log_.append(stream == DriverConnection::Stream::out ? LogLine::Kind::out : LogLine::Kind::err,
              line);
}

void StationSession::onChange() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // A stop is over once no run goes any more.
    if (stopping_ && driver_ && driver_->runsGoing().empty()) stopping_ = false;
  }
  changed();
}

void StationSession::onEnd(std::optional<int> status) {
  log_.append(
      LogLine::Kind::station,
      "the driver ended" + (status ? " with status " + std::to_string(*status) : std::string()));
  changed();
}

CommandResult StationSession::send(CommandType type, const std::vector<std::string>& args) {
  std::lock_guard<std::mutex> one(commandMutex_);
  CommandResult result;
  std::unique_lock<std::mutex> lock(mutex_);
  const std::shared_ptr<DriverConnection> driver = driver_;
  if (!driver || driver->ended() || !driver->prompted() || exiting_) {
    const bool ended = !driver || driver->ended();
    result.outcome = ended ? CommandResult::Outcome::driverEnded : CommandResult::Outcome::notReady;
    result.message =
        ended ? "the driver has ended; restart it first" : "the driver is still starting";
    return result;
  }
  busy_ = true;
  lock.unlock();
  const DriverConnection::Command command = driver->prepare(type, args);
  result.command = command.line;
  log_.append(LogLine::Kind::station, "> " + command.line);
  changed();
  const host::CommandReply reply = driver->send(command, options_.replyTimeout);
  lock.lock();
  busy_ = false;
  switch (reply.outcome) {
    case Outcome::ok:
      result.reply = reply.reply;
      result.code = reply.code;
      if (reply.code == 0) {
        result.message = "done";
      } else {
        result.outcome = CommandResult::Outcome::errorReply;
        result.message = describeErrorCode(reply.code) + " (" + std::to_string(reply.code) + ")";
      }
      break;
    case Outcome::driverEnded:
      result.outcome = CommandResult::Outcome::driverEnded;
      result.message = "the driver ended before it answered " + result.command;
      break;
    case Outcome::timeout:
      result.outcome = CommandResult::Outcome::timeout;
      result.message = "no reply from the driver to " + result.command + " within " +
                       seconds(options_.replyTimeout);
      break;
  }
  lock.unlock();
  if (result.outcome != CommandResult::Outcome::done) {
    log_.append(LogLine::Kind::station, result.message);
  }
  changed();
  return result;
}

CommandResult StationSession::load(const std::string& project, const std::string& flow,
                                   const std::string& libraryPath, const std::string& flowPath) {
  CommandResult result = send(LOAD, {libraryPath, flowPath});
  // Without prj_init the library is loaded and usable all the same.
  if (result.outcome == CommandResult::Outcome::done || result.code == LOSE_PRJ_INIT_FUNCTION) {
    std::lock_guard<std::mutex> lock(mutex_);
    project_ = project;
    flow_ = flow;
  }
  return result;
}

CommandResult StationSession::run(const std::string& setting, const std::string& settingPath) {
  CommandResult result = send(RUN, {settingPath});
  if (result.outcome == CommandResult::Outcome::done) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_[result.reply.substr(0, result.reply.find(COMMAND_MARK))] = setting;
  }
  return result;
}

CommandResult StationSession::stop() {
  CommandResult result = send(STOP, {});
  if (result.outcome == CommandResult::Outcome::done) {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = driver_ && !driver_->runsGoing().empty();
  }
  changed();
  return result;
}

CommandResult StationSession::unload() {
  CommandResult result = send(UNLOAD, {});
  if (result.outcome == CommandResult::Outcome::done) {
    std::lock_guard<std::mutex> lock(mutex_);
    project_.clear();
    flow_.clear();
  }
  changed();
  return result;
}

void StationSession::exit(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!driver_ || exiting_ || driver_->ended()) return;
  exiting_ = true;
  const std::shared_ptr<DriverConnection> driver = driver_;
  lock.unlock();
  log_.append(LogLine::Kind::station, "> " + EXIT_MARK);
  if (driver->exit(timeout) != Outcome::ok) {
    log_.append(LogLine::Kind::station, "the driver didn't end after exit; killing it");
    driver->kill();
    driver->waitForEnd(timeout);
  }
}

bool StationSession::waitReady(std::chrono::milliseconds timeout) {
  std::shared_ptr<DriverConnection> driver;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    driver = driver_;
  }
  return driver && driver->waitForPrompt(timeout) == Outcome::ok;
}

host::Outcome StationSession::waitForRuns(std::chrono::milliseconds timeout) {
  std::shared_ptr<DriverConnection> driver;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    driver = driver_;
  }
  return driver ? driver->waitForRuns(timeout) : Outcome::driverEnded;
}

SessionState StationSession::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  SessionState state;
  state.project = project_;
  state.flow = flow_;
  state.busy = busy_;
  if (!driver_ && !startFailed_) return state;  // not started yet
  if (!driver_ || driver_->ended()) {
    state.driver = SessionState::Driver::ended;
    if (driver_) state.exitStatus = driver_->exitStatus();
    return state;
  }
  state.driver = driver_->prompted() ? SessionState::Driver::ready : SessionState::Driver::starting;
  for (const std::string& number : driver_->runsGoing()) {
    const auto setting = settings_.find(number);
    state.runs[number] = setting != settings_.end() ? setting->second : std::string();
  }
  state.stopping = stopping_ && !state.runs.empty();
  return state;
}
