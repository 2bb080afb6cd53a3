// What the driver needs from the operating system, behind one small interface. One source file
// implements it per platform (Platform-posix.cpp, Platform-win32.cpp); no other file includes an
// OS header or tests the platform.
#ifndef ATE_UTILS_PLATFORM_H_
#define ATE_UTILS_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// A loaded shared library; null stands for none.
using LibraryHandle = void*;

// Why a library could not be loaded. code is the number the Windows loader reports for the
// failure (GetLastError); on POSIX, where the loader has no numbers, the Windows number of the
// same kind of failure: 126 not found (the file or one of its dependencies), 193 not a library
// for this machine, 5 access denied, 127 an unresolved symbol, 126 otherwise.
struct LoadFailure {
  std::uint32_t code = 0;
  std::string message;  // the loader's own words, for a person
};

// Loads the shared library at path, passed to the loader unchanged (a bare name is searched for
// as the platform searches for libraries). Null on failure, with failure filled in.
LibraryHandle loadLibrary(const std::string& path, LoadFailure& failure);

// The address of the symbol exported by library under the undecorated name, or null. Searches
// only that library (and what it depends on); a null library finds nothing.
void* findSymbol(LibraryHandle library, const char* name);

// Releases a library that loadLibrary returned.
void freeLibrary(LibraryHandle library);

void sleepMilliseconds(unsigned milliseconds);

// Prepares the standard streams before any I/O: standard input is read as bytes (line ends are
// handled by the reader alike on every platform), output keeps the platform's text line end.
void prepareStandardStreams();

// Reads up to size bytes of standard input, as soon as any are available. Returns the count,
// 0 at end of input, or -1 on a read error.
std::ptrdiff_t readStandardInput(char* buffer, std::size_t size);

// Flushes the C streams and ends the process with status at once: no destructors run, and
// threads still running (for example inside a test project library) end with it.
[[noreturn]] void exitProcess(int status);

}  // namespace platform

#endif  // ATE_UTILS_PLATFORM_H_
