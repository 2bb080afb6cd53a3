#include "host/DriverConnection.h"

#include <filesystem>
#include <stdexcept>
#include <utility>

namespace host {

DriverConnection::DriverConnection(Options options) : options_(std::move(options)) {
  const std::string& program = options_.process.argv.at(0);
  if (!std::filesystem::is_regular_file(program)) {
    throw std::runtime_error("there is no driver program at " + program);
  }
  process_ = std::make_unique<ChildProcess>(options_.process);
  reader_ = std::thread(&DriverConnection::readLoop, this);
}

DriverConnection::~DriverConnection() {
  if (!ended()) process_->kill();
  reader_.join();
}

void DriverConnection::readLoop() {
  for (;;) {
    while (std::optional<std::string> line =
               process_->readLine(Stream::err, std::chrono::milliseconds(0))) {
      if (options_.onLine) options_.onLine(Stream::err, *line, DriverReply{});
    }
    if (std::optional<std::string> line =
            process_->readLine(Stream::out, std::chrono::milliseconds(20))) {
      handleOut(*line);
    } else if (process_->drained(Stream::out)) {
      break;
    }
  }
  // A message written just before the end may still be on its way.
  for (const std::string& line : process_->readRemaining(Stream::err, options_.endWait)) {
    if (options_.onLine) options_.onLine(Stream::err, line, DriverReply{});
  }
  const std::optional<int> status = process_->wait(options_.endWait);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended_ = true;
    exitStatus_ = status;
    changed_.notify_all();
  }
  if (options_.onEnd) options_.onEnd(status);
}

void DriverConnection::handleOut(const std::string& line) {
  DriverReply reply = parseReply(line);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Before the prompt nothing is a reply; afterwards only lines with a number this
    // connection sent are.
    if (!prompted_ || reply.kind == DriverReply::Kind::none || issued_.count(reply.number) == 0) {
      reply = DriverReply{};
    }
  }
  // The line is handed over before anyone waiting for it goes on, so that whatever the handler
  // shows comes before what the waiter does next.
  if (options_.onLine) options_.onLine(Stream::out, line, reply);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!prompted_) {
      prompted_ = line == PROMPT_LINE;
      if (!prompted_) return;
    } else if (reply.kind == DriverReply::Kind::executeDone) {
      if (runs_.erase(reply.number) == 0) endedEarly_.insert(reply.number);
    } else if (reply.kind != DriverReply::Kind::none) {
      const auto pending = pending_.find(reply.number);
      if (pending == pending_.end() || pending->second.reply) return;
      pending->second.reply = line;
      pending->second.code = reply.kind == DriverReply::Kind::error ? reply.code : 0;
      if (pending->second.type == RUN && reply.kind == DriverReply::Kind::done &&
          endedEarly_.erase(reply.number) == 0) {
        runs_.insert(reply.number);
      }
    } else {
      return;
    }
    changed_.notify_all();
  }
  if (options_.onChange) options_.onChange();
}

template <typename Done>
Outcome DriverConnection::waitUntil(std::chrono::milliseconds timeout, Done done) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (changed_.wait_for(lock, timeout, [&] { return done() || ended_; }) && done()) {
    return Outcome::ok;
  }
  return ended_ ? Outcome::driverEnded : Outcome::timeout;
}

Outcome DriverConnection::waitForPrompt(std::chrono::milliseconds timeout) {
  return waitUntil(timeout, [&] { return prompted_; });
}

bool DriverConnection::prompted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prompted_;
}

DriverConnection::Command DriverConnection::prepare(CommandType type,
                                                    const std::vector<std::string>& args) {
  std::lock_guard<std::mutex> lock(mutex_);
  Command command;
  command.number = std::to_string(nextNumber_++);
  command.line = formatCommand(command.number, type, args);
  command.type = type;
  return command;
}

CommandReply DriverConnection::send(const Command& command, std::chrono::milliseconds timeout) {
  CommandReply result;
  result.number = command.number;
  result.line = command.line;
  {
    // Known before it is sent: the reply may come at once.
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[command.number].type = command.type;
    issued_.insert(command.number);
  }
  const bool written = process_->write(command.line + "\n");
  std::unique_lock<std::mutex> lock(mutex_);
  if (written) {
    changed_.wait_for(lock, timeout,
                      [&] { return pending_[command.number].reply.has_value() || ended_; });
  }
  const Pending pending = pending_[command.number];
  pending_.erase(command.number);
  if (pending.reply) {
    result.reply = *pending.reply;
    result.code = pending.code;
  } else {
    result.outcome = written && !ended_ ? Outcome::timeout : Outcome::driverEnded;
  }
  return result;
}

CommandReply DriverConnection::command(CommandType type, const std::vector<std::string>& args,
                                       std::chrono::milliseconds timeout) {
  return send(prepare(type, args), timeout);
}

std::set<std::string> DriverConnection::runsGoing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return runs_;
}

Outcome DriverConnection::waitForRuns(std::chrono::milliseconds timeout) {
  return waitUntil(timeout, [&] { return runs_.empty(); });
}

bool DriverConnection::waitForEnd(std::chrono::milliseconds timeout) {
  return waitUntil(timeout, [&] { return ended_; }) == Outcome::ok;
}

Outcome DriverConnection::exit(std::chrono::milliseconds timeout) {
  writeLine(EXIT_MARK);
  return waitForEnd(timeout) ? Outcome::ok : Outcome::timeout;
}

bool DriverConnection::writeLine(const std::string& line) { return process_->write(line + "\n"); }

void DriverConnection::kill() { process_->kill(); }

bool DriverConnection::ended() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ended_;
}

std::optional<int> DriverConnection::exitStatus() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exitStatus_;
}

}  // namespace host
