#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "host/ChildProcess.h"

struct ChildProcess::Native {
  HANDLE process = nullptr;
  HANDLE input = nullptr;  // write end of the child's standard input
  bool killed = false;     // ended by kill(), which reports like a POSIX signal
};

namespace {

void closeIfOpen(HANDLE& handle) {
  if (handle != nullptr) CloseHandle(handle);
  handle = nullptr;
}

// Both ends of an anonymous pipe, neither inherited by child processes until asked.
struct Pipe {
  HANDLE read = nullptr;
  HANDLE write = nullptr;

  Pipe() {
    if (!CreatePipe(&read, &write, nullptr, 0)) {
      throw std::runtime_error("CreatePipe failed: error " + std::to_string(GetLastError()));
    }
  }
  ~Pipe() {
    closeIfOpen(read);
    closeIfOpen(write);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Hands one end over to the caller, who closes it.
  static HANDLE take(HANDLE& end) {
    HANDLE taken = end;
    end = nullptr;
    return taken;
  }
};

// One argument as the C runtime of the child splits its command line back into argv: quoted
// when it is empty or holds white space or a quote; inside the quotes, a quote is escaped with a
// backslash, and backslashes are doubled where they precede a quote (the closing one included).
std::string quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
    return argument;
  }
  std::string text = "\"";
  std::size_t backslashes = 0;
  for (const char c : argument) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    text.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    text.push_back(c);
  }
  text.append(backslashes * 2, '\\');
  text.push_back('"');
  return text;
}

// This process's environment block with the given variables set: "NAME=VALUE" strings, each
// ending in a NUL, the block in one more. Names compare without regard to case, as Windows does.
std::string environmentBlock(const std::vector<std::pair<std::string, std::string>>& overrides) {
  std::string block;
  char* current = GetEnvironmentStringsA();
  for (const char* entry = current; entry != nullptr && *entry != '\0';
       entry += std::strlen(entry) + 1) {
    const std::string variable = entry;
    bool replaced = false;
    for (const auto& [name, value] : overrides) {
      replaced = replaced || (variable.size() > name.size() && variable[name.size()] == '=' &&
                              _strnicmp(variable.c_str(), name.c_str(), name.size()) == 0);
    }
    if (!replaced) block.append(variable).push_back('\0');
  }
  if (current != nullptr) FreeEnvironmentStringsA(current);
  for (const auto& [name, value] : overrides) block.append(name + "=" + value).push_back('\0');
  block.push_back('\0');
  return block;
}

}  // namespace

ChildProcess::ChildProcess(const Options& options) : native_(new Native()) {
  if (options.argv.empty()) throw std::runtime_error("no program to start");
  Pipe in, out, err;

  std::string commandLine;
  for (const std::string& argument : options.argv) {
    if (!commandLine.empty()) commandLine.push_back(' ');
    commandLine += quoted(argument);
  }

  std::string environment;
  if (!options.environment.empty()) environment = environmentBlock(options.environment);

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in.read;
  startup.hStdOutput = out.write;
  startup.hStdError = err.write;
  PROCESS_INFORMATION created{};
  BOOL started = FALSE;
  DWORD error = 0;
  {
    // The child's ends are inheritable only while this child is created; children that other
    // threads of this process start meanwhile would keep them open, and a stream would never
    // end.
    static std::mutex creation;
    std::lock_guard<std::mutex> lock(creation);
    for (HANDLE end : {in.read, out.write, err.write}) {
      SetHandleInformation(end, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    started = CreateProcessA(
        options.argv[0].c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0,
        environment.empty() ? nullptr : environment.data(),
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &startup,
        &created);
    error = GetLastError();
    closeIfOpen(in.read);
    closeIfOpen(out.write);
    closeIfOpen(err.write);
  }
  if (!started) {
    throw std::runtime_error("cannot start " + options.argv[0] + ": error " +
                             std::to_string(error));
  }
  CloseHandle(created.hThread);
  native_->process = created.hProcess;
  native_->input = Pipe::take(in.write);
  readers_[0] = std::thread(&ChildProcess::readLoop, this, Stream::out,
                            reinterpret_cast<std::intptr_t>(Pipe::take(out.read)));
  readers_[1] = std::thread(&ChildProcess::readLoop, this, Stream::err,
                            reinterpret_cast<std::intptr_t>(Pipe::take(err.read)));
}

void ChildProcess::NativeDeleter::operator()(Native* native) const {
  closeIfOpen(native->input);
  closeIfOpen(native->process);
  delete native;
}

void ChildProcess::readLoop(Stream stream, std::intptr_t handle) {
  HANDLE pipe = reinterpret_cast<HANDLE>(handle);
  Channel& channel = channels_[static_cast<int>(stream)];
  char buffer[1 << 16];
  for (;;) {
    DWORD count = 0;
    // Fails with ERROR_BROKEN_PIPE once the child's end is closed.
    if (!ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) || count == 0) break;
    addBytes(channel, buffer, count);
  }
  CloseHandle(pipe);
  endStream(channel);
}

bool ChildProcess::write(std::string_view text) {
  while (!text.empty()) {
    if (native_->input == nullptr) return false;
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1u << 30));
    DWORD count = 0;
    if (!WriteFile(native_->input, text.data(), chunk, &count, nullptr) || count == 0) {
      return false;
    }
    text.remove_prefix(count);
  }
  return true;
}

void ChildProcess::closeInput() { closeIfOpen(native_->input); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
  {
    std::lock_guard<std::mutex> lock(statusMutex_);
    if (status_) return status_;
  }
  const auto milliseconds = std::clamp<std::chrono::milliseconds::rep>(
      timeout.count(), 0, static_cast<std::chrono::milliseconds::rep>(INFINITE - 1));
  if (WaitForSingleObject(native_->process, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0) {
    return std::nullopt;
  }
  DWORD code = 0;
  if (!GetExitCodeProcess(native_->process, &code)) return std::nullopt;
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!status_) status_ = native_->killed ? -1 : static_cast<int>(code);
  return status_;
}

void ChildProcess::kill() {
  std::lock_guard<std::mutex> lock(statusMutex_);
  if (!status_ && native_->process != nullptr && TerminateProcess(native_->process, 1)) {
    native_->killed = true;
  }
}

std::int64_t ChildProcess::id() const {
  return native_->process == nullptr ? -1
                                     : static_cast<std::int64_t>(GetProcessId(native_->process));
}
