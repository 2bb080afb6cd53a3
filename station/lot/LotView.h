// How the lot is shown: GET /api/lot and GET /api/lot/wafer as JSON (docs/station.md).
#ifndef ATE_STATION_LOT_LOTVIEW_H_
#define ATE_STATION_LOT_LOTVIEW_H_

#include <cstddef>
#include <string>
#include <vector>

#include "handler/HandlerProtocol.h"
#include "station/lot/LotBook.h"
#include "stdf/Pat.h"

namespace lot {

// What the view shows beside the book: the station's live state.
struct LiveState {
  bool handlerConfigured = false;
  bool handlerConnected = false;
  std::string handlerState;
  std::vector<handler::SiteEntry> testing;  // the touchdown in progress; empty: none
  std::string reportPath;                   // the ended lot's report
  std::vector<Alarm> stationAlarms;         // alarms while no lot runs
  // The lot's outlier screening, once it ran (after a wafer or at the end); null: none yet.
  const stdf::PatApplyResult* pat = nullptr;
  std::string patWhen;  // "after wafer W01", "at the lot's end"
};

std::string lotJson(const LotBook& book, const LiveState& live);

// The parts tested on the lot's wafer id, from the from-th on (in test order, retests
// included); empty when the lot has no such wafer.
std::string waferJson(const LotBook& book, const std::string& id, std::size_t from);

}  // namespace lot

#endif  // ATE_STATION_LOT_LOTVIEW_H_
