#include "StationSession.h"

#include <filesystem>

#include "DriverReply.h"

namespace {

const char* const PROMPT = "input 'exit' exit process.";

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
  if (reader_.joinable()) reader_.join();
}

void StationSession::changed() { log_.touch(); }

bool StationSession::start() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (driver_ && state_.driver != SessionState::Driver::ended) return false;
  if (reader_.joinable()) {
    // The old driver has ended; its reader is done or about to be.
    lock.unlock();
    reader_.join();
    lock.lock();
  }
  driver_.reset();
  state_ = SessionState{};
  pending_.clear();
  endedEarly_.clear();
  exiting_ = false;

  std::error_code error;
  std::filesystem::create_directories(options_.datalogDir, error);
  ChildProcess::Options child;
  child.argv = {options_.driver};
  child.environment = {{"ATE_DATALOG_DIR", options_.datalogDir}};
  log_.append(LogLine::Kind::station, "starting " + options_.driver);
  try {
    if (!std::filesystem::is_regular_file(options_.driver)) {
      throw std::runtime_error("there is no driver program at " + options_.driver);
    }
    driver_ = std::make_unique<ChildProcess>(child);
  } catch (const std::exception& failure) {
    state_.driver = SessionState::Driver::ended;
    log_.append(LogLine::Kind::station, std::string("cannot start the driver: ") + failure.what());
    changed();
    return false;
  }
  reader_ = std::thread(&StationSession::readLoop, this, driver_.get());
  changed();
  return true;
}

void StationSession::readLoop(ChildProcess* driver) {
  using Stream = ChildProcess::Stream;
  for (;;) {
    while (std::optional<std::string> line =
               driver->readLine(Stream::err, std::chrono::milliseconds(0))) {
      log_.append(LogLine::Kind::err, std::move(*line));
    }
    if (std::optional<std::string> line =
            driver->readLine(Stream::out, std::chrono::milliseconds(20))) {
      handleLine(*line);
      continue;
    }
    if (driver->drained(Stream::out)) break;
  }
  for (std::string& line : driver->readRemaining(Stream::err, std::chrono::seconds(2))) {
    log_.append(LogLine::Kind::err, std::move(line));
  }
  const std::optional<int> status = driver->wait(std::chrono::seconds(5));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.driver = SessionState::Driver::ended;
    state_.exitStatus = status;
    state_.runs.clear();
    state_.stopping = false;
  }
  log_.append(
      LogLine::Kind::station,
      "the driver ended" + (status ? " with status " + std::to_string(*status) : std::string()));
  replied_.notify_all();
  changed();
}

void StationSession::handleLine(const std::string& line) {
  log_.append(LogLine::Kind::out, line);
  std::unique_lock<std::mutex> lock(mutex_);
  if (state_.driver == SessionState::Driver::starting) {
    if (line == PROMPT) {
      state_.driver = SessionState::Driver::ready;
      lock.unlock();
      changed();
    }
    return;
  }
  const DriverReply reply = parseReply(line);
  const auto pending = pending_.find(reply.number);
  if (reply.kind == DriverReply::Kind::none || pending == pending_.end()) return;
  Pending& command = pending->second;
  if (reply.kind == DriverReply::Kind::executeDone) {
    if (state_.runs.erase(reply.number) == 0) endedEarly_.insert(reply.number);
    if (state_.runs.empty()) state_.stopping = false;
  } else if (!command.reply) {
    command.reply = line;
    command.code = reply.kind == DriverReply::Kind::error ? reply.code : 0;
    const bool done = reply.kind == DriverReply::Kind::done;
    if (command.kind == Kind::load && (done || command.code == 4)) {
      // Code 4: the library is loaded and usable, it just has no prj_init.
      state_.project = command.project;
      state_.flow = command.flow;
    } else if (command.kind == Kind::run && done && endedEarly_.erase(reply.number) == 0) {
      state_.runs[reply.number] = command.setting;
    }
    replied_.notify_all();
  }
  lock.unlock();
  changed();
}

CommandResult StationSession::send(Kind kind, const std::string& command, Pending pending) {
  std::lock_guard<std::mutex> one(commandMutex_);
  std::unique_lock<std::mutex> lock(mutex_);
  CommandResult result;
  if (!driver_ || state_.driver != SessionState::Driver::ready || exiting_) {
    result.outcome = state_.driver == SessionState::Driver::ended
                         ? CommandResult::Outcome::driverEnded
                         : CommandResult::Outcome::notReady;
    result.message = state_.driver == SessionState::Driver::ended
                         ? "the driver has ended; restart it first"
                         : "the driver is still starting";
    return result;
  }
  const std::string number = std::to_string(nextNumber_++);
  result.command = number + "^" + command;
  pending.kind = kind;
  pending_[number] = pending;
  state_.busy = true;
  ChildProcess* driver = driver_.get();
  lock.unlock();
  log_.append(LogLine::Kind::station, "> " + result.command);
  changed();
  const bool written = driver->write(result.command + "\n");
  lock.lock();

  if (written) {
    replied_.wait_for(lock, options_.replyTimeout, [&] {
      return pending_[number].reply || state_.driver == SessionState::Driver::ended;
    });
  }
  state_.busy = false;
  const Pending outcome = pending_[number];
  if (outcome.reply) {
    result.reply = *outcome.reply;
    result.code = outcome.code;
    if (outcome.code == 0) {
      result.message = "done";
    } else {
      result.outcome = CommandResult::Outcome::errorReply;
      result.message = describeErrorCode(outcome.code) + " (" + std::to_string(outcome.code) + ")";
    }
    // A run's number stays known until its "execute done"; anything else is finished.
    if (kind != Kind::run) pending_.erase(number);
  } else if (!written || state_.driver == SessionState::Driver::ended) {
    result.outcome = CommandResult::Outcome::driverEnded;
    result.message = "the driver ended before it answered " + result.command;
  } else {
    result.outcome = CommandResult::Outcome::timeout;
    result.message = "no reply from the driver to " + result.command + " within " +
                     seconds(options_.replyTimeout);
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
  Pending pending{};
  pending.project = project;
  pending.flow = flow;
  return send(Kind::load, "qv -p load " + libraryPath + " " + flowPath, pending);
}

CommandResult StationSession::run(const std::string& setting, const std::string& settingPath) {
  Pending pending{};
  pending.setting = setting;
  return send(Kind::run, "qv -p run " + settingPath, pending);
}

CommandResult StationSession::stop() {
  CommandResult result = send(Kind::other, "qv -p stop", Pending{});
  if (result.outcome == CommandResult::Outcome::done) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_.stopping = !state_.runs.empty();
    }
    changed();
  }
  return result;
}

CommandResult StationSession::unload() {
  CommandResult result = send(Kind::other, "qv -p unload", Pending{});
  if (result.outcome == CommandResult::Outcome::done) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      state_.project.clear();
      state_.flow.clear();
    }
    changed();
  }
  return result;
}

void StationSession::exit(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!driver_ || exiting_) return;
  exiting_ = true;
  ChildProcess* driver = driver_.get();
  lock.unlock();
  log_.append(LogLine::Kind::station, "> exit");
  driver->write("exit\n");
  // The reader sees the driver end and collects its status.
  lock.lock();
  if (!replied_.wait_for(lock, timeout,
                         [&] { return state_.driver == SessionState::Driver::ended; })) {
    lock.unlock();
    log_.append(LogLine::Kind::station, "the driver didn't end after exit; killing it");
    driver->kill();
  }
}

SessionState StationSession::state() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}
