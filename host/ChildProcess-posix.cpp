#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "host/ChildProcess.h"

extern char** environ;

struct ChildProcess::Native {
  pid_t pid = -1;
  int input = -1;  // write end of the child's standard input
};

namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void setLimit(int resource, std::uint64_t bytes) {
  if (bytes == 0) return;
  rlimit limit{static_cast<rlim_t>(bytes), static_cast<rlim_t>(bytes)};
  setrlimit(resource, &limit);
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) : native_(new Native()) {
  // A closed pipe must show up as a failed write, not as a signal that ends this process.
  signal(SIGPIPE, SIG_IGN);

  // Every end is closed on exec: the child keeps only the copies dup2 makes as its standard
  // streams, so that it ends a stream by closing it, and no other child started meanwhile holds
  // one open.
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

  std::vector<char*> argv;
  for (const std::string& arg : options.argv) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);

  // The child's environment is made here: between fork and exec only async-signal-safe calls.
  std::vector<std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string variable = *entry;
    bool replaced = false;
    for (const auto& [name, value] : options.environment) {
      replaced = replaced || variable.compare(0, name.size() + 1, name + "=") == 0;
    }
    if (!replaced) variables.push_back(variable);
  }
  for (const auto& [name, value] : options.environment) variables.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& variable : variables) envp.push_back(variable.data());
  envp.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error(std::string("fork failed: ") + std::strerror(errno));
  if (pid == 0) {
    // Only async-signal-safe calls from here on.
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
      _exit(126);
    }
    setLimit(RLIMIT_STACK, options.stackLimit);
    setLimit(RLIMIT_AS, options.addressSpaceLimit);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  native_->pid = pid;
  native_->input = in[1];
  readers_[0] = std::thread(&ChildProcess::readLoop, this, Stream::out, out[0]);
  readers_[1] = std::thread(&ChildProcess::readLoop, this, Stream::err, err[0]);
}

void ChildProcess::NativeDeleter::operator()(Native* native) const {
  closeIfOpen(native->input);
  delete native;
}

void ChildProcess::readLoop(Stream stream, std::intptr_t handle) {
  const int fd = static_cast<int>(handle);
  Channel& channel = channels_[static_cast<int>(stream)];
  char buffer[1 << 16];
  for (;;) {
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    addBytes(channel, buffer, static_cast<std::size_t>(count));
  }
  close(fd);
  endStream(channel);
}

bool ChildProcess::write(std::string_view text) {
  while (!text.empty()) {
    if (native_->input < 0) return false;
    const ssize_t count = ::write(native_->input, text.data(), text.size());
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(count));
  }
  return true;
}

void ChildProcess::closeInput() { closeIfOpen(native_->input); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    {
      // Reaping and recording are one step, so that kill() never signals a reaped (and perhaps
      // reused) process id.
      std::lock_guard<std::mutex> lock(statusMutex_);
      if (status_) return status_;
      int raw = 0;
      const pid_t done = waitpid(native_->pid, &raw, WNOHANG);
      if (done == native_->pid) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return status_;
      }
      if (done < 0 && errno != EINTR) return std::nullopt;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void ChildProcess::kill() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!status_ && native_->pid > 0) ::kill(native_->pid, SIGKILL);
}

std::int64_t ChildProcess::id() const { return native_->pid; }
