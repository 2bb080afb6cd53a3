// What the lot's journal records: every change of a running lot, as it happens. The lot's state
// (station/lot/LotBook.h) is what these records add up to, so that a lot resumed after a restart
// has the state it had. Each record is one JSON object with its "type" (docs/handler.md lists
// them).
#ifndef ATE_STATION_LOT_LOTRECORDS_H_
#define ATE_STATION_LOT_LOTRECORDS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "handler/HandlerProtocol.h"
#include "station/lot/LotRequest.h"

namespace lot {

// A file of the lot's test program, and its SHA-256 when the lot started.
struct ProgramFile {
  std::string role;  // "library", "flow" or "setting"
  std::string path;
  std::string sha256;
};

// The lot started: always the journal's first record.
struct Started {
  LotRequest request;
  std::string startedAt;             // local time, "YYYY-MM-DD HH:MM:SS"
  std::string by;                    // who started it
  std::string project, flow;         // the program's, from the request or its release
  std::vector<std::string> devices;  // of each site, by site - 1
  bool failstop = false;
  std::vector<ProgramFile> program;
};

// The lot's project was loaded into a new datalog, whose parts are numbered from firstPartId.
struct DatalogOpened {
  std::string file;
  std::uint64_t firstPartId = 1;
};

// A datalog that no part went into was removed (a wafer of its own begins, or the lot ends).
struct DatalogDropped {
  std::string file;
};

struct WaferStarted {
  std::string id;
};
struct WaferEnded {};

// A site's part in a touchdown.
struct SitePart {
  int site = 0;
  std::optional<handler::DieXY> die;
  std::uint64_t partId = 0;  // PART_ID in the datalog
  bool retest = false;       // logged as a retest of the same part (its id, or its die)
};

// A SOT was taken for testing; sites in the SOT's order.
struct TouchdownTaken {
  long number = 0;  // 1, 2, ... in the lot
  std::vector<SitePart> sites;
};

struct PartBin {
  int site = 0;
  int hardBin = 0;
  bool passed = false;
  int category = 0;  // what the BIN says: the hard bin under the lot's bin map
  int softBin = 0;   // as the PRR logged it; 0 in journals of stations before soft bins
};

// The touchdown's bins, as its BIN will say them (sites in the SOT's order). Durable before the
// BIN goes to the handler.
struct TouchdownBinned {
  long number = 0;
  std::vector<PartBin> parts;
  bool fromDatalog = false;  // read from a pass logged before a restart, not tested again
};

// The BIN went to the handler (ok), or could not be sent (no connection).
struct BinSent {
  long number = 0;
  bool ok = true;
};

enum class Hold {
  operatorPause,  // the operator paused the lot
  guard,          // a yield guard tripped
  handlerAlarm,   // the handler's ALARM, until its READY
  program         // the lot's program can't go on as it is (a file changed, a load failed)
};

struct Paused {
  Hold hold = Hold::operatorPause;
  std::string why;
  std::string by;  // the operator; "station" or "handler" for the others
  std::string at;
};

// operatorPause: the operator resumed the lot (lifting the operator's, the guards' and the
// program's holds; the guards count afresh). handlerAlarm: the handler is READY.
struct Resumed {
  Hold hold = Hold::operatorPause;
  std::string by;
  std::string at;
};

// The operator cleared the lot's alarms from the page.
struct AlarmsCleared {
  std::string by;
  std::string at;
};

struct Alarm {
  std::string time;
  std::string text;
};

// The station started again and resumed the lot.
struct Restarted {
  std::string at;
};

// The operator or the handler (EOL) ended the lot; the end follows.
struct EndAsked {
  std::string why;
  std::string by;
  std::string at;
};

struct Ended {
  std::string why;
};

using Record = std::variant<Started, DatalogOpened, DatalogDropped, WaferStarted, WaferEnded,
                            TouchdownTaken, TouchdownBinned, BinSent, Paused, Resumed,
                            AlarmsCleared, Alarm, Restarted, EndAsked, Ended>;

std::string recordJson(const Record& record);
// False with error when text is no record this station writes.
bool parseRecord(const std::string& text, Record& record, std::string& error);

}  // namespace lot

#endif  // ATE_STATION_LOT_LOTRECORDS_H_
