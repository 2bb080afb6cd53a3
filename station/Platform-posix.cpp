#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <termios.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "station/Platform.h"

namespace station_platform {

namespace {

std::string failure(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

std::string computerName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

bool ownerOnly(const std::filesystem::path& file) {
  struct stat status {};
  return ::stat(file.c_str(), &status) == 0 && (status.st_mode & 077) == 0;
}

void sameOwner(const std::filesystem::path& file, const std::filesystem::path& like) {
  struct stat status {};
  if (::stat(like.c_str(), &status) == 0 && ::geteuid() == 0) {
    // (a failure leaves the file as it is: its owner, readable by that owner alone)
    [[maybe_unused]] const int ignored = ::chown(file.c_str(), status.st_uid, status.st_gid);
  }
}

bool AppendFile::open(const std::filesystem::path& path, std::string& error) {
  close();
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = failure("cannot open " + path.string());
    return false;
  }
  handle_ = fd;
  return true;
}

bool AppendFile::append(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(static_cast<int>(handle_), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error = failure("cannot append");
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool AppendFile::sync(std::string& error) {
  if (::fdatasync(static_cast<int>(handle_)) != 0) {
    error = failure("cannot sync");
    return false;
  }
  return true;
}

void AppendFile::close() {
  if (handle_ != INVALID) ::close(static_cast<int>(handle_));
  handle_ = INVALID;
}

bool syncFile(const std::filesystem::path& file, std::string& error) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  const bool synced = fd >= 0 && ::fdatasync(fd) == 0;
  if (!synced) error = failure("cannot sync " + file.string());
  if (fd >= 0) ::close(fd);
  return synced;
}

void syncFolder(const std::filesystem::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

std::string processStamp(std::int64_t pid) {
  if (pid <= 0) return "";
  // /proc/PID/stat: the start time (field 22, in clock ticks since boot) follows the command's
  // name in parentheses, which may itself hold spaces and parentheses.
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream fields(text.substr(close + 1));
  std::string field;
  for (int n = 3; n <= 22 && fields >> field; ++n) {
  }
  // A zombie has ended already.
  const std::string state = text.size() > close + 2 ? text.substr(close + 2, 1) : "";
  if (!fields || state == "Z" || state == "X") return "";
  std::ifstream boot("/proc/sys/kernel/random/boot_id");
  std::string bootId;
  boot >> bootId;
  return bootId + "/" + field;
}

bool endProcess(std::int64_t pid, std::chrono::milliseconds wait) {
  if (pid <= 0) return false;
  const std::string stamp = processStamp(pid);
  if (stamp.empty()) return true;
  ::kill(static_cast<pid_t>(pid), SIGKILL);
  for (const auto until = std::chrono::steady_clock::now() + wait;
       std::chrono::steady_clock::now() < until;) {
    if (processStamp(pid) != stamp) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

bool interactive() { return ::isatty(STDIN_FILENO) == 1; }

bool readSecret(const std::string& prompt, std::string& secret) {
  termios saved{};
  const bool terminal = interactive() && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, secret));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return read;
}

void crashNow() {
  ::kill(::getpid(), SIGKILL);
  ::_exit(137);
}

}  // namespace station_platform
