// The lot a station is testing, as it hands it to libdatalog in the driver's process: a file of
// KEY=VALUE lines that ATE_LOT_FILE names (see docs/handler.md). Internal to libdatalog.
#ifndef ATE_DATALOG_LOTFILE_H_
#define ATE_DATALOG_LOTFILE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace datalog {

// The WCR of a wafer lot; what the lot doesn't give stays the format's "missing" value.
struct WaferConfig {
  float size = 0;          // WAFR_SIZ
  float dieHeight = 0;     // DIE_HT
  float dieWidth = 0;      // DIE_WID
  std::uint8_t units = 0;  // WF_UNITS: 1 inches, 2 cm, 3 mm, 4 mils
  char flat = ' ';         // WF_FLAT: U, D, L or R
  std::int16_t centerX = -32768;
  std::int16_t centerY = -32768;
  char posX = ' ';  // POS_X: L or R
  char posY = ' ';  // POS_Y: U or D
};

struct LotFile {
  // The MIR's fields by their names (LOT_ID, SBLOT_ID, PART_TYP, OPER_NAM, TEST_COD, TST_TEMP,
  // NODE_NAM, MODE_COD, RTST_COD); only those the file gives.
  std::map<std::string, std::string> mir;
  std::string file;                           // the datalog's path; empty: named as without a lot
  std::uint64_t firstPartId = 1;              // PART_ID of the first part
  std::map<std::string, std::uint8_t> sites;  // device -> its site in the lot
  std::string touchdownFile;  // where each pass's wafer and dies are; empty: no wafers
  WaferConfig wafer;
  // The lot's program: each file's role ("library", "flow", "setting"), SHA-256 and path.
  struct ProgramFile {
    std::string role, sha256, path;
  };
  std::vector<ProgramFile> program;
  std::string auditHead;  // the station's audit trail's newest hash; empty: none
  // Static outlier limits applied as each value is recorded ("PAT.TEST=LOW HIGH"): a part inside
  // its test limits but outside these gets the bin of "PAT_BIN=HARD SOFT NAME".
  std::map<std::uint32_t, std::pair<double, double>> patLimits;
  std::uint16_t patHardBin = 11, patSoftBin = 11;
  std::string patBinName = "PAT_STATIC";
};

// Which wafer, dies and parts a pass tests, as the station writes it before each touchdown's
// run: "WAFER=ID" (empty outside a wafer), "XY.SITE=X,Y" for each site that holds a die,
// "ID.SITE=N" for the PART_ID the station gave the site's part, and "RETEST.SITE=1" when that
// part (its id, or its die) was tested before.
struct Touchdown {
  std::string wafer;
  std::map<std::uint8_t, std::pair<int, int>> dies;  // site -> X, Y
  std::map<std::uint8_t, std::uint64_t> partIds;     // site -> PART_ID
  std::map<std::uint8_t, bool> retests;              // site -> a retest
};
bool parseTouchdownFile(std::string_view text, Touchdown& touchdown, std::string& error);

// Reads the text of a lot file. Blank lines and lines starting with '#' are skipped; anything
// else must be KEY=VALUE with a key of the table in docs/handler.md. False with error naming the
// first line that isn't.
bool parseLotFile(std::string_view text, LotFile& lot, std::string& error);

}  // namespace datalog

#endif  // ATE_DATALOG_LOTFILE_H_
