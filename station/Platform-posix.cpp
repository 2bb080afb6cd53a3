#include <sys/stat.h>
#include <unistd.h>

#include "station/Platform.h"

namespace station_platform {

std::string computerName() {
  char name[256] = "";
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

bool ownerOnly(const std::filesystem::path& file) {
  struct stat status {};
  return ::stat(file.c_str(), &status) == 0 && (status.st_mode & 077) == 0;
}

}  // namespace station_platform
