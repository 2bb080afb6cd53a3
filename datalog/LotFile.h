// The lot a station is testing, as it hands it to libdatalog in the driver's process: a file of
// KEY=VALUE lines that ATE_LOT_FILE names (see docs/handler.md). Internal to libdatalog.
#ifndef ATE_DATALOG_LOTFILE_H_
#define ATE_DATALOG_LOTFILE_H_

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace datalog {

struct LotFile {
  // The MIR's fields by their names (LOT_ID, SBLOT_ID, PART_TYP, OPER_NAM, TEST_COD, TST_TEMP,
  // NODE_NAM, MODE_COD, RTST_COD); only those the file gives.
  std::map<std::string, std::string> mir;
  std::string file;              // the datalog's path; empty: named as without a lot
  std::uint64_t firstPartId = 1;  // PART_ID of the first part
  std::map<std::string, std::uint8_t> sites;  // device -> its site in the lot
};

// Reads the text of a lot file. Blank lines and lines starting with '#' are skipped; anything
// else must be KEY=VALUE with a key of the table in docs/handler.md. False with error naming the
// first line that isn't.
bool parseLotFile(std::string_view text, LotFile& lot, std::string& error);

}  // namespace datalog

#endif  // ATE_DATALOG_LOTFILE_H_
