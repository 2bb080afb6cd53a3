// The driver the station started last, named in a file (DATALOGS/.lot/driver.pid), so that a
// station started again after a crash can end a driver left over from its earlier life before
// it starts its own: two drivers never write one lot's files.
#ifndef ATE_STATION_DRIVERPIDFILE_H_
#define ATE_STATION_DRIVERPIDFILE_H_

#include <cstdint>
#include <filesystem>
#include <string>

// Names the driver just started (pid) in file.
void recordDriver(const std::filesystem::path& file, std::int64_t pid);

// Forgets the driver: it has ended.
void forgetDriver(const std::filesystem::path& file);

struct Leftover {
  bool stillRuns = false;  // it could not be ended: then its id and stamp
  std::int64_t pid = 0;
  std::string stamp;
  std::string message;  // what was done, for the station's log; empty: nothing to do
};

// Ends the driver the file names, if that very process still runs, and forgets it unless it
// can't be ended.
Leftover endLeftoverDriver(const std::filesystem::path& file);

#endif  // ATE_STATION_DRIVERPIDFILE_H_
