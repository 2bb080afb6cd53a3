// The datalog side of the page: follows the newest datalog file in the station's datalog folder
// and keeps yield per site and overall, the hard and soft bin tables and the last pass of each
// device, reading only what was appended since the last update.
#ifndef ATE_STATION_DATALOGPANEL_H_
#define ATE_STATION_DATALOGPANEL_H_

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>

class DatalogPanel {
 public:
  explicit DatalogPanel(std::filesystem::path folder);
  ~DatalogPanel();
  DatalogPanel(const DatalogPanel&) = delete;
  DatalogPanel& operator=(const DatalogPanel&) = delete;

  // Looks for a newer file and reads what was appended to the current one. True when anything
  // the page shows changed. Called by one thread at a time.
  bool update();

  // The panel as a JSON document (see docs/station.md). Any thread.
  std::string json() const;
  // Passes read so far from the current file. Any thread.
  std::uint64_t passes() const;

 private:
  struct Impl;
  std::filesystem::path folder_;
  mutable std::mutex mutex_;  // guards impl_
  std::unique_ptr<Impl> impl_;
};

#endif  // ATE_STATION_DATALOGPANEL_H_
