#define NOMINMAX
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "station/Platform.h"

namespace station_platform {

std::string computerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
  DWORD size = sizeof name;
  if (!GetComputerNameA(name, &size)) return "";
  return std::string(name, size);
}

bool ownerOnly(const std::filesystem::path&) { return true; }

}  // namespace station_platform
