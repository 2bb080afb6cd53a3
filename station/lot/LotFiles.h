// The files a lot keeps beside its datalogs, in DATALOGS/.lot/ (docs/handler.md): the lot file
// and the touchdown file that libdatalog reads in the driver's process, the setting of each
// touchdown's pass, the journal; and the lot's datalogs and report themselves.
#ifndef ATE_STATION_LOT_LOTFILES_H_
#define ATE_STATION_LOT_LOTFILES_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "station/lot/LotRecords.h"
#include "station/lot/LotRequest.h"
#include "stdf/LotReport.h"

namespace lot {

struct LotPaths {
  std::filesystem::path datalogs;  // the lot's datalogs
  std::filesystem::path lotFile;   // what the driver's ATE_LOT_FILE names

  std::filesystem::path work() const { return lotFile.parent_path(); }
  std::filesystem::path touchdownFile() const { return work() / "touchdown.txt"; }
  std::filesystem::path passSetting() const { return work() / "touchdown.json"; }
  std::filesystem::path journal() const { return work() / "journal.jsonl"; }
  // Where the journals of ended lots are kept (the newest few).
  std::filesystem::path endedJournals() const { return work() / "ended"; }
  std::filesystem::path driverPidFile() const { return work() / "driver.pid"; }
};

// Replaces file's content whole: a reader sees the old content or the new, never a mix.
bool replaceFile(const std::filesystem::path& file, const std::string& content);

// Writes content over the file's, for a file nobody reads while it is written (the touchdown's
// files, read by the pass that starts after). Cheaper than replaceFile: no new file and no
// rename, which ext4 answers by writing the new file's blocks out at once.
bool overwriteFile(const std::filesystem::path& file, const std::string& content);

// A new datalog's path for the lot, named after its part type, lot and (with a file per wafer)
// wafer, and the time; never an existing file.
std::filesystem::path newDatalogPath(const std::filesystem::path& folder, const LotRequest& lot,
                                     const std::string& wafer);

// What a datalog of the lot is opened with.
struct LotFileContent {
  const LotRequest* request = nullptr;
  std::string nodeName;
  std::vector<ProgramFile> program;  // the lot's files and their digests
  std::string auditHead;             // the audit trail's newest hash; empty: none
  std::vector<std::string> devices;  // by site - 1
  std::string datalog;               // its path
  std::uint64_t firstPartId = 1;
};
bool writeLotFile(const LotPaths& paths, const LotFileContent& content);

// The touchdown's wafer and dies, part ids and retests, for the pass about to start.
bool writeTouchdownFile(const LotPaths& paths, const std::string& wafer,
                        const std::vector<SitePart>& sites);

// The setting of one touchdown's pass: the devices of its sites, one pass.
bool writePassSetting(const LotPaths& paths, bool failstop,
                      const std::vector<std::string>& devices);

// The lot's HTML report beside its first datalog, with who did what to the lot; its path, or empty
// (with error) when it can't be written.
std::string writeReport(const std::vector<std::string>& datalogs,
                        const std::vector<stdf::LotReportData::Action>& actions,
                        std::string& error);

// A local time as the page shows it ("YYYY-MM-DD HH:MM:SS"), and as file names carry it
// ("YYYYMMDD_HHMMSS").
std::string localTime();
std::string fileTime();

}  // namespace lot

#endif  // ATE_STATION_LOT_LOTFILES_H_
