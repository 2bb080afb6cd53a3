#include "station/DriverPidFile.h"

#include <chrono>
#include <fstream>

#include "station/Platform.h"

namespace fs = std::filesystem;

void recordDriver(const fs::path& file, std::int64_t pid) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  const fs::path aside = file.u8string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << pid << " " << station_platform::processStamp(pid) << "\n";
  }
  fs::rename(aside, file, error);
}

void forgetDriver(const fs::path& file) {
  std::error_code error;
  fs::remove(file, error);
}

Leftover endLeftoverDriver(const fs::path& file) {
  std::ifstream in(file);
  std::int64_t pid = 0;
  std::string stamp;
  const bool named = static_cast<bool>(in >> pid >> stamp);
  in.close();
  Leftover leftover;
  if (named && station_platform::processStamp(pid) == stamp) {
    const std::string process = " (process " + std::to_string(pid) + ")";
    if (station_platform::endProcess(pid, std::chrono::seconds(10))) {
      leftover.message = "ended the driver left over from before" + process;
    } else {
      leftover.stillRuns = true;
      leftover.pid = pid;
      leftover.stamp = stamp;
      leftover.message = "cannot end the driver left over from before" + process;
      return leftover;
    }
  }
  forgetDriver(file);
  return leftover;
}
