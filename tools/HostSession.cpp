#include "HostSession.h"

#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "Checker.h"
#include "ChildProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

bool parseSeconds(const std::string& text, double& seconds) {
  char* end = nullptr;
  seconds = std::strtod(text.c_str(), &end);
  return !text.empty() && end == text.c_str() + text.size() && seconds >= 0 && seconds < 1e6;
}

std::chrono::milliseconds toDuration(double seconds) {
  return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

class Session {
 public:
  Session(const HostOptions& options, std::FILE* out) : options_(options), out_(out) {}

  HostResult run(const std::vector<HostStep>& steps);

 private:
  void print(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), out_);
    std::fflush(out_);
  }

  // Shows what the driver writes and records replies until done() holds, the deadline passes or
  // the driver ends. Returns HOST_OK when done() held.
  template <typename Done>
  HostResult pump(Clock::time_point deadline, const std::string& waitingFor, Done done);
  void showErrors();
  // Once the driver's output has ended: the rest of its standard error, up to the stream's end,
  // so that a message still on its way is shown rather than lost.
  void showRemainingErrors();
  void handle(const std::string& line);

  HostResult send(const std::string& command, const std::string& what);
  HostResult check(const HostStep& step);
  HostResult exitDriver();

  const HostOptions& options_;
  std::FILE* out_;
  std::unique_ptr<ChildProcess> driver_;
  int nextNumber_ = 1;
  std::map<std::string, int> replies_;  // command number -> result code (0 for done)
  std::set<std::string> issued_;
  std::set<std::string> runs_;  // runs started and not yet ended
  bool exited_ = false;
};

void Session::showErrors() {
  while (std::optional<std::string> line =
             driver_->readLine(ChildProcess::Stream::err, std::chrono::milliseconds(0))) {
    print("[driver stderr] " + *line);
  }
}

void Session::showRemainingErrors() {
  for (const std::string& line :
       driver_->readRemaining(ChildProcess::Stream::err, options_.timeout)) {
    print("[driver stderr] " + line);
  }
}

void Session::handle(const std::string& line) {
  const DriverReply reply = parseReply(line);
  if (reply.kind == DriverReply::Kind::none || issued_.count(reply.number) == 0) {
    print("   " + line);
    return;
  }
  if (reply.kind == DriverReply::Kind::executeDone) {
    runs_.erase(reply.number);
  } else {
    replies_[reply.number] = reply.kind == DriverReply::Kind::done ? 0 : reply.code;
  }
  print("<- " + line);
}

template <typename Done>
HostResult Session::pump(Clock::time_point deadline, const std::string& waitingFor, Done done) {
  for (;;) {
    showErrors();
    if (done()) return HOST_OK;
    std::optional<std::string> line =
        driver_->readLine(ChildProcess::Stream::out, std::chrono::milliseconds(20));
    if (line) {
      handle(*line);
    } else if (driver_->drained(ChildProcess::Stream::out)) {
      showRemainingErrors();
      if (exited_) return HOST_DRIVER_DIED;  // the end the host asked for
      std::optional<int> status = driver_->wait(options_.timeout);
      print("host: the driver ended (status " + (status ? std::to_string(*status) : "unknown") +
            ") while waiting for " + waitingFor);
      return HOST_DRIVER_DIED;
    }
    if (Clock::now() >= deadline) {
      // An empty waitingFor is a pause that simply ran its time.
      if (!waitingFor.empty()) print("host: timed out waiting for " + waitingFor);
      return HOST_TIMEOUT;
    }
  }
}

HostResult Session::send(const std::string& command, const std::string& what) {
  const std::string number = std::to_string(nextNumber_++);
  const std::string line = number + "^" + command;
  issued_.insert(number);
  print("-> " + line);
  if (!driver_->write(line + "\n")) {
    print("host: the driver no longer reads its input");
    return HOST_DRIVER_DIED;
  }
  HostResult waited = pump(Clock::now() + options_.timeout, "the reply to " + what,
                           [&] { return replies_.count(number) != 0; });
  if (waited != HOST_OK) return waited;
  if (replies_[number] != 0) {
    print("host: " + what + " failed with code " + std::to_string(replies_[number]) + ": " +
          describeErrorCode(replies_[number]));
    return HOST_ERROR_REPLY;
  }
  if (command.compare(0, 9, "qv -p run") == 0) runs_.insert(number);
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
  print("-> exit");
  exited_ = true;
  driver_->write("exit\n");
  // Whatever the driver still writes is shown before the host ends.
  HostResult result =
      pump(Clock::now() + options_.timeout, "the driver to end", [] { return false; });
  if (result != HOST_DRIVER_DIED) return result;
  std::optional<int> status = driver_->wait(options_.timeout);
  if (!status) {
    print("host: the driver closed its output but didn't end");
    return HOST_TIMEOUT;
  }
  print("host: the driver ended with status " + std::to_string(*status));
  return *status == 0 ? HOST_OK : HOST_DRIVER_DIED;
}

HostResult Session::run(const std::vector<HostStep>& steps) {
  print("host: starting " + options_.driver);
  if (!std::filesystem::is_regular_file(options_.driver)) {
    print("host: there is no driver program at " + options_.driver);
    return HOST_DRIVER_DIED;
  }
  try {
    ChildProcess::Options child;
    child.argv = {options_.driver};
    driver_ = std::make_unique<ChildProcess>(child);
  } catch (const std::exception& error) {
    print(std::string("host: cannot start the driver: ") + error.what());
    return HOST_DRIVER_DIED;
  }

  bool prompted = false;
  std::optional<std::string> line;
  const auto deadline = Clock::now() + options_.timeout;
  HostResult result = HOST_OK;
  while (!prompted) {
    showErrors();
    line = driver_->readLine(ChildProcess::Stream::out, std::chrono::milliseconds(20));
    if (line) {
      print("   " + *line);
      prompted = *line == "input 'exit' exit process.";
    } else if (driver_->drained(ChildProcess::Stream::out)) {
      showRemainingErrors();
      std::optional<int> status = driver_->wait(options_.timeout);
      print("host: the driver ended before its prompt (status " +
            (status ? std::to_string(*status) : "unknown") + ")");
      return HOST_DRIVER_DIED;
    } else if (Clock::now() >= deadline) {
      print("host: timed out waiting for the driver's prompt");
      return HOST_TIMEOUT;
    }
  }

  for (const HostStep& step : steps) {
    switch (step.kind) {
      case HostStep::Kind::load:
        result = send("qv -p load " + step.args[0] + " " + step.args[1], "load");
        break;
      case HostStep::Kind::run:
        result = send("qv -p run " + step.args[0], "run");
        break;
      case HostStep::Kind::wait:
        result = pump(Clock::now() + options_.runTimeout, "the runs to end",
                      [&] { return runs_.empty(); });
        break;
      case HostStep::Kind::stop:
        if (step.seconds > 0) {
          result = pump(Clock::now() + toDuration(step.seconds), "", [] { return false; });
          if (result == HOST_TIMEOUT) result = HOST_OK;  // the pause itself
        }
        if (result == HOST_OK) result = send("qv -p stop", "stop");
        break;
      case HostStep::Kind::sleep:
        result = pump(Clock::now() + toDuration(step.seconds), "", [] { return false; });
        if (result == HOST_TIMEOUT) result = HOST_OK;
        break;
      case HostStep::Kind::unload:
        result = send("qv -p unload", "unload");
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
    HostStep step{kind->second.first, {parts.begin() + 1, parts.end()}, 0, line};
    bool valid = step.args.size() == kind->second.second;
    if (step.kind == HostStep::Kind::check) valid = step.args.size() >= 2;
    if (step.kind == HostStep::Kind::stop && step.args.size() == 2 && step.args[0] == "after") {
      valid = parseSeconds(step.args[1], step.seconds);
      step.args.clear();
    } else if (step.kind == HostStep::Kind::sleep && valid) {
      valid = parseSeconds(step.args[0], step.seconds);
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
