#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "utils/Platform.h"

namespace platform {

LibraryHandle loadLibrary(const std::string& path, LoadFailure& failure) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const DWORD code = GetLastError();
    failure.code = static_cast<std::uint32_t>(code);
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    failure.message = length != 0 ? std::string(text, length) : "error " + std::to_string(code);
    if (text != nullptr) LocalFree(text);
    while (!failure.message.empty() &&
           (failure.message.back() == '\n' || failure.message.back() == '\r')) {
      failure.message.pop_back();
    }
  }
  return module;
}

void* findSymbol(LibraryHandle library, const char* name) {
  if (library == nullptr) return nullptr;
  FARPROC address = GetProcAddress(static_cast<HMODULE>(library), name);
  return reinterpret_cast<void*>(reinterpret_cast<INT_PTR>(address));
}

void freeLibrary(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(static_cast<HMODULE>(library));
}

void sleepMilliseconds(unsigned milliseconds) { Sleep(milliseconds); }

void prepareStandardStreams() {
  // The reader takes CR LF and LF alike and keeps a stray CR, as on every platform; text mode
  // would also end input at a Ctrl-Z byte. Output stays in text mode: lines end in CR LF.
  _setmode(_fileno(stdin), _O_BINARY);
}

std::ptrdiff_t readStandardInput(char* buffer, std::size_t size) {
  const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
  return _read(_fileno(stdin), buffer, chunk);
}

void exitProcess(int status) {
  std::fflush(nullptr);
  // TerminateProcess, unlike ExitProcess, runs no DLL detach code in a library that a running
  // execution thread may be inside.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace platform
