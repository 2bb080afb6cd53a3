// What the operator (or the factory's system) starts a lot with: the body of POST
// /api/lot/start, or of --lot FILE. Read from JSON, and written back as the same JSON for the
// lot's journal, so that a lot resumed after a restart is the lot that was started.
#ifndef ATE_STATION_LOT_LOTREQUEST_H_
#define ATE_STATION_LOT_LOTREQUEST_H_

#include <map>
#include <string>

// A guard on yield: trips once at least `after` parts were counted and their yield is below
// `percent`. Off while after is 0.
struct YieldGuard {
  double percent = 0;
  long after = 0;
};

struct LotGuards {
  long siteFailsInRow = 0;  // a site failing this many parts in a row; 0: off
  YieldGuard siteYield;     // any site's yield
  YieldGuard lotYield;      // the lot's yield
};

struct LotRequest {
  // A released program (station/access/Releases.h) and one of its settings; or, on a station
  // without accounts, a project, its flow and a setting by their names in the projects folder.
  std::string release, revision;
  std::string project, flow, setting;
  std::string lotId, sublotId, operatorName, partType, testCode, temperature;
  char retestCode = 'N';      // MIR RTST_COD: N a first test, Y a retest, 0-9 retest count
  std::map<int, int> binMap;  // hard bin -> handler category; a bin not named is itself
  LotGuards guards;
  bool filePerWafer = false;  // a datalog of its own for each wafer, named with its id
  // The WCR's fields for a wafer lot, by their STDF names (WAFR_SIZ, DIE_HT, DIE_WID, WF_UNITS,
  // WF_FLAT, CENTER_X, CENTER_Y, POS_X, POS_Y); those not given stay missing.
  std::map<std::string, std::string> waferConfig;
  // Outlier screening ("pat"): static limits applied as parts are tested, and every rule at each
  // wafer's end and the lot's. The limits and rules files are named in the project's folder;
  // either may be left out (the rules then are the defaults, and static PAT is off).
  bool pat = false;
  std::string patLimits, patRules;
};

// Reads a lot request from its JSON body; false with error saying what is wrong.
bool parseLotRequest(const std::string& body, LotRequest& request, std::string& error);

// The request as the JSON body that parseLotRequest reads back into the same request.
std::string lotRequestJson(const LotRequest& request);

// The handler category of a hard bin under the lot's bin map.
int handlerCategory(const LotRequest& request, int hardBin);

#endif  // ATE_STATION_LOT_LOTREQUEST_H_
