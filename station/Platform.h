// What the station needs of the platform beside sockets: its computer's name, whether a file is
// kept from other users, files that are made durable (the lot's journal), and the processes of
// an earlier life of the station. One source file per platform implements it.
#ifndef ATE_STATION_PLATFORM_H_
#define ATE_STATION_PLATFORM_H_

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace station_platform {

// The name of this computer ("" when the platform won't tell).
std::string computerName();

// Whether only the file's owner may read or change it (mode 600 or stricter on POSIX). Windows
// keeps such rights in access lists, which this doesn't read: there every file passes.
bool ownerOnly(const std::filesystem::path& file);

// Gives file the owner and group of like, where this process may (root may): a file that an
// administrator's command writes in place of the service's stays the service's. Nothing on
// Windows.
void sameOwner(const std::filesystem::path& file, const std::filesystem::path& like);

// A file that is only ever appended to, and whose bytes can be made durable: once sync() has
// answered true, what was appended before it survives a crash of the station and of the
// computer. One thread at a time.
class AppendFile {
 public:
  AppendFile() = default;
  ~AppendFile() { close(); }
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens path for appending, creating it when missing; false with error when it can't.
  bool open(const std::filesystem::path& path, std::string& error);
  bool isOpen() const { return handle_ != INVALID; }
  // Appends bytes whole; false (with error) when the system took less.
  bool append(std::string_view bytes, std::string& error);
  // Waits until every byte appended is on the disk (fdatasync; FlushFileBuffers on Windows).
  bool sync(std::string& error);
  void close();

 private:
  static constexpr std::intptr_t INVALID = -1;
  std::intptr_t handle_ = INVALID;
};

// Makes durable what was written to an existing file, by this process or another (the driver's
// datalog).
bool syncFile(const std::filesystem::path& file, std::string& error);

// Makes a folder's entries (files made, renamed or removed in it) durable. Windows keeps them
// with the files: nothing to do there.
void syncFolder(const std::filesystem::path& folder);

// What tells a running process apart from any other that had or will have its id (its start
// time, and on Linux the boot it started in); empty when no process has that id now.
std::string processStamp(std::int64_t pid);

// Ends the process (killed, as it can't be asked) and waits up to wait for it to be gone.
bool endProcess(std::int64_t pid, std::chrono::milliseconds wait);

// A secret typed by a person: from the terminal without echo (after prompt, on standard error),
// or, when standard input is no terminal, its first line. False when there is none.
bool readSecret(const std::string& prompt, std::string& secret);
// Whether standard input is a terminal.
bool interactive();

// Ends this process at once, as a crash would: no destructor runs and no buffer of its own is
// flushed.
[[noreturn]] void crashNow();

}  // namespace station_platform

#endif  // ATE_STATION_PLATFORM_H_
