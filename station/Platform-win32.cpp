#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "station/Platform.h"

namespace station_platform {

namespace {

std::string failure(const std::string& what) {
  return what + ": error " + std::to_string(GetLastError());
}

HANDLE handleOf(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

std::string computerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
}

bool ownerOnly(const std::filesystem::path&) { return true; }

void sameOwner(const std::filesystem::path&, const std::filesystem::path&) {}

bool AppendFile::open(const std::filesystem::path& path, std::string& error) {
  close();
  // Others may read it, and it may be renamed away once closed.
  const HANDLE file =
      CreateFileW(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = failure("cannot open " + path.u8string());
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return true;
}

bool AppendFile::append(std::string_view bytes, std::string& error) {
  while (!bytes.empty()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD written = 0;
    if (!WriteFile(handleOf(handle_), bytes.data(), chunk, &written, nullptr) || written == 0) {
      error = failure("cannot append");
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool AppendFile::sync(std::string& error) {
  if (!FlushFileBuffers(handleOf(handle_))) {
    error = failure("cannot sync");
    return false;
  }
  return true;
}

void AppendFile::close() {
  if (handle_ != INVALID) CloseHandle(handleOf(handle_));
  handle_ = INVALID;
}

bool syncFile(const std::filesystem::path& file, std::string& error) {
  // FlushFileBuffers needs a handle that may write; the driver keeps the file open for writing.
  const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool synced = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
  if (!synced) error = failure("cannot sync " + file.u8string());
  if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  return synced;
}

void syncFolder(const std::filesystem::path&) {}

std::string processStamp(std::int64_t pid) {
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return "";
  FILETIME created{}, exited{}, kernel{}, user{};
  DWORD code = 0;
  std::string stamp;
  if (GetProcessTimes(process, &created, &exited, &kernel, &user) &&
      GetExitCodeProcess(process, &code) && code == STILL_ACTIVE) {
    stamp = std::to_string((static_cast<std::uint64_t>(created.dwHighDateTime) << 32) |
                           created.dwLowDateTime);
  }
  CloseHandle(process);
  return stamp;
}

bool endProcess(std::int64_t pid, std::chrono::milliseconds wait) {
  const HANDLE process =
      OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return processStamp(pid).empty();
  TerminateProcess(process, 1);
  const bool ended =
      WaitForSingleObject(process, static_cast<DWORD>(wait.count())) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

bool interactive() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

bool readSecret(const std::string& prompt, std::string& secret) {
  const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  const bool console = GetConsoleMode(in, &saved) != 0;
  if (console) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    SetConsoleMode(in, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
  }
  const bool read = static_cast<bool>(std::getline(std::cin, secret));
  if (console) {
    SetConsoleMode(in, saved);
    std::fputs("\n", stderr);
  }
  if (!secret.empty() && secret.back() == '\r') secret.pop_back();
  return read;
}

void crashNow() {
  TerminateProcess(GetCurrentProcess(), 137);
  ExitProcess(137);
}

}  // namespace station_platform
