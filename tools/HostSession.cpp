#include "tools/HostSession.h"

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "check/Checker.h"
#include "host/CommandLine.h"
#include "host/DriverConnection.h"

namespace {

using host::DriverConnection;
using host::Outcome;

class Session {
 public:
  Session(const HostOptions& options, std::FILE* out) : options_(options), out_(out) {}

  HostResult run(const std::vector<HostStep>& steps);

 private:
  // Lines come from this thread and from the connection's, one whole line at a time.
  void print(const std::string& line) {
    const std::string text = line + "\n";
    std::lock_guard<std::mutex> lock(printing_);
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }
  void show(DriverConnection::Stream stream, const std::string& line, const DriverReply& reply) {
    if (stream == DriverConnection::Stream::err) {
      print("[driver stderr] " + line);
    } else {
      print((reply.kind == DriverReply::Kind::none ? "   " : "<- ") + line);
    }
  }

  // What a wait that didn't end as hoped means for the session.
  HostResult failed(Outcome outcome, const std::string& waitingFor);
  HostResult send(CommandType type, const std::vector<std::string>& args, const std::string& what);
  HostResult check(const HostStep& step);
  HostResult exitDriver();

  const HostOptions& options_;
  std::FILE* out_;
  std::mutex printing_;
  std::unique_ptr<DriverConnection> driver_;
};

HostResult Session::failed(Outcome outcome, const std::string& waitingFor) {
  if (outcome == Outcome::timeout) {
    print("host: timed out waiting for " + waitingFor);
    return HOST_TIMEOUT;
  }
  const std::optional<int> status = driver_->exitStatus();
  print("host: the driver ended (status " + (status ? std::to_string(*status) : "unknown") +
        ") while waiting for " + waitingFor);
  return HOST_DRIVER_DIED;
}

HostResult Session::send(CommandType type, const std::vector<std::string>& args,
                         const std::string& what) {
  const DriverConnection::Command command = driver_->prepare(type, args);
  print("-> " + command.line);
  const host::CommandReply reply = driver_->send(command, options_.timeout);
  if (reply.outcome == Outcome::driverEnded && !driver_->ended()) {
    print("host: the driver no longer reads its input");
    return HOST_DRIVER_DIED;
  }
  if (reply.outcome != Outcome::ok) return failed(reply.outcome, "the reply to " + what);
  if (reply.code != 0) {
    print("host: " + what + " failed with code " + std::to_string(reply.code) + ": " +
          describeErrorCode(reply.code));
    return HOST_ERROR_REPLY;
  }
  return HOST_OK;
}

HostResult Session::check(const HostStep& step) {
  CheckRequest request{step.args[0], step.args[1], {step.args.begin() + 2, step.args.end()}};
  const std::vector<Finding> findings = checkProgram(request);
  for (const Finding& finding : findings) print("check: " + formatFinding(finding));
  if (checkStatus(findings) < 2) {
    print("host: check passed" + std::string(findings.empty() ? "" : " with warnings"));
    return HOST_OK;
  }
  print("host: check failed");
  return HOST_ERROR_REPLY;
}

HostResult Session::exitDriver() {
  print("-> " + EXIT_MARK);
  // Whatever the driver still writes is shown before the host ends.
  if (driver_->exit(options_.timeout) != Outcome::ok) {
    print("host: timed out waiting for the driver to end");
    return HOST_TIMEOUT;
  }
  const std::optional<int> status = driver_->exitStatus();
  if (!status) {
    print("host: the driver closed its output but didn't end");
    return HOST_TIMEOUT;
  }
  print("host: the driver ended with status " + std::to_string(*status));
  return *status == 0 ? HOST_OK : HOST_DRIVER_DIED;
}

HostResult Session::run(const std::vector<HostStep>& steps) {
  print("host: starting " + options_.driver);
  try {
    DriverConnection::Options connection;
    connection.process.argv = {options_.driver};
    connection.endWait = options_.timeout;
    connection.onLine = [this](DriverConnection::Stream stream, const std::string& line,
                               const DriverReply& reply) { show(stream, line, reply); };
    driver_ = std::make_unique<DriverConnection>(connection);
  } catch (const std::exception& error) {
    print(std::string("host: cannot start the driver: ") + error.what());
    return HOST_DRIVER_DIED;
  }
  switch (driver_->waitForPrompt(options_.timeout)) {
    case Outcome::ok:
      break;
    case Outcome::timeout:
      print("host: timed out waiting for the driver's prompt");
      return HOST_TIMEOUT;
    case Outcome::driverEnded: {
      const std::optional<int> status = driver_->exitStatus();
      print("host: the driver ended before its prompt (status " +
            (status ? std::to_string(*status) : "unknown") + ")");
      return HOST_DRIVER_DIED;
    }
  }

  HostResult result = HOST_OK;
  for (const HostStep& step : steps) {
    switch (step.kind) {
      case HostStep::Kind::load:
        result = send(LOAD, step.args, "load");
        break;
      case HostStep::Kind::run:
        result = send(RUN, step.args, "run");
        break;
      case HostStep::Kind::wait: {
        const Outcome outcome = driver_->waitForRuns(options_.runTimeout);
        result = outcome == Outcome::ok ? HOST_OK : failed(outcome, "the runs to end");
        break;
      }
      case HostStep::Kind::stop:
      case HostStep::Kind::sleep:
        // The connection shows the driver's lines meanwhile.
        if (driver_->waitForEnd(step.pause)) {
          result = failed(Outcome::driverEnded, "the pause to end");
        } else if (step.kind == HostStep::Kind::stop) {
          result = send(STOP, {}, "stop");
        }
        break;
      case HostStep::Kind::unload:
        result = send(UNLOAD, {}, "unload");
        break;
      case HostStep::Kind::exit:
        return exitDriver();
      case HostStep::Kind::check:
        result = check(step);
        break;
    }
    if (result != HOST_OK) break;
  }
  if (result == HOST_DRIVER_DIED) return result;
  const HostResult ended = exitDriver();
  return result != HOST_OK ? result : ended;
}

}  // namespace

bool parseSteps(const std::vector<std::string>& lines, std::vector<HostStep>& steps,
                std::string& error) {
  static const std::map<std::string, std::pair<HostStep::Kind, std::size_t>> KINDS = {
      {"load", {HostStep::Kind::load, 2}},   {"run", {HostStep::Kind::run, 1}},
      {"wait", {HostStep::Kind::wait, 0}},   {"stop", {HostStep::Kind::stop, 0}},
      {"sleep", {HostStep::Kind::sleep, 1}}, {"unload", {HostStep::Kind::unload, 0}},
      {"exit", {HostStep::Kind::exit, 0}},   {"check", {HostStep::Kind::check, 2}}};
  for (const std::string& line : lines) {
    std::istringstream words(line);
    std::vector<std::string> parts;
    for (std::string word; words >> word;) parts.push_back(word);
    if (parts.empty() || parts[0][0] == '#') continue;

    const auto kind = KINDS.find(parts[0]);
    if (kind == KINDS.end()) {
      error = "unknown step \"" + line + "\"";
      return false;
    }
    HostStep step{kind->second.first, {parts.begin() + 1, parts.end()}, {}, line};
    bool valid = step.args.size() == kind->second.second;
    if (step.kind == HostStep::Kind::check) valid = step.args.size() >= 2;
    const auto pause = [&](const std::string& text) {
      const std::optional<std::chrono::milliseconds> seconds = host::parseSeconds(text);
      if (seconds) step.pause = *seconds;
      return seconds.has_value();
    };
    if (step.kind == HostStep::Kind::stop && step.args.size() == 2 && step.args[0] == "after") {
      valid = pause(step.args[1]);
      step.args.clear();
    } else if (step.kind == HostStep::Kind::sleep && valid) {
      valid = pause(step.args[0]);
    }
    if (!valid) {
      error = "malformed step \"" + line + "\"";
      return false;
    }
    steps.push_back(std::move(step));
  }
  return true;
}

HostResult runSession(const HostOptions& options, const std::vector<HostStep>& steps,
                      std::FILE* out) {
  Session session(options, out);
  return session.run(steps);
}
