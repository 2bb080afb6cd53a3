#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "utils/Platform.h"

namespace platform {
namespace {

// Windows error codes for the kinds of failed load a host can tell apart.
constexpr std::uint32_t ERROR_ACCESS_DENIED_CODE = 5;
constexpr std::uint32_t ERROR_MOD_NOT_FOUND_CODE = 126;
constexpr std::uint32_t ERROR_PROC_NOT_FOUND_CODE = 127;
constexpr std::uint32_t ERROR_BAD_EXE_FORMAT_CODE = 193;

bool mentions(const std::string& text, const char* words) {
  return text.find(words) != std::string::npos;
}

// dlerror() gives words only; map them to the number Windows gives for the same failure.
std::uint32_t codeForLoaderMessage(const std::string& message) {
  if (mentions(message, "undefined symbol") || mentions(message, "version `") ||
      mentions(message, "symbol lookup error")) {
    return ERROR_PROC_NOT_FOUND_CODE;
  }
  if (mentions(message, "Is a directory") || mentions(message, "Permission denied") ||
      mentions(message, "Operation not permitted")) {
    return ERROR_ACCESS_DENIED_CODE;
  }
  if (mentions(message, "No such file")) return ERROR_MOD_NOT_FOUND_CODE;
  if (mentions(message, "invalid ELF header") || mentions(message, "file too short") ||
      mentions(message, "wrong ELF class") || mentions(message, "ELF file") ||
      mentions(message, "ELF load command") || mentions(message, "ET_DYN") ||
      mentions(message, "position-independent executable")) {
    return ERROR_BAD_EXE_FORMAT_CODE;
  }
  return ERROR_MOD_NOT_FOUND_CODE;
}

}  // namespace

LibraryHandle loadLibrary(const std::string& path, LoadFailure& failure) {
  // RTLD_NOW: unresolved symbols fail the load, as they do on Windows, rather than a later call.
  // RTLD_LOCAL: the library's symbols are found through its handle only.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    failure.message = text != nullptr ? text : "unknown loader failure";
    failure.code = codeForLoaderMessage(failure.message);
  }
  return handle;
}

void* findSymbol(LibraryHandle library, const char* name) {
  // dlsym with a null handle would search the whole process; no library means nothing found.
  if (library == nullptr) return nullptr;
  return dlsym(library, name);
}

void freeLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

void sleepMilliseconds(unsigned milliseconds) {
  timespec pause{static_cast<time_t>(milliseconds / 1000),
                 static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

void prepareStandardStreams() {}

std::ptrdiff_t readStandardInput(char* buffer, std::size_t size) {
  for (;;) {
    ssize_t count = read(STDIN_FILENO, buffer, size);
    if (count >= 0) return count;
    if (errno != EINTR) return -1;
  }
}

void exitProcess(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

}  // namespace platform
