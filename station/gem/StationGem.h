// The station's GEM interface wired to its lot: what the host's remote commands do to the lot
// controller, which programs it may select, what it hears of the lot (its journal's records turned
// into status and collection events), and the host as an account of its own in the audit trail.
#ifndef ATE_STATION_GEM_STATIONGEM_H_
#define ATE_STATION_GEM_STATIONGEM_H_

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/gem/GemEquipment.h"
#include "station/lot/LotBook.h"
#include "station/lot/LotRecords.h"

class AuditTrail;
class EventLog;
class LotController;
class ProjectCatalog;
class Releases;

// The account the host acts as in the audit trail.
constexpr const char* GEM_HOST_ACCOUNT = "gem-host";

struct StationGemParts {
  // Set before the equipment starts; the lot's commands go to it.
  const std::unique_ptr<LotController>* lot = nullptr;
  const ProjectCatalog* catalog = nullptr;
  Releases* releases = nullptr;
  bool releasedOnly = false;  // a station with accounts: only released programs
  AuditTrail* audit = nullptr;
  EventLog* log = nullptr;
  // Waits until the driver is ready for a lot, at most the time given; whether it is.
  std::function<bool(std::chrono::milliseconds)> waitReady;
};

std::unique_ptr<gem::GemEquipment> makeStationGem(gem::GemOptions options, StationGemParts parts);

// What the host hears of a record of the lot: the status it leaves, and the events and alarms it
// raises or clears (none for most records).
std::vector<gem::StationEvent> gemEventsOf(const lot::Record& record, const lot::LotBook& book,
                                           const std::string& handlerState);
// The status alone, when the handler's connection comes or goes.
gem::StationEvent gemStatusOf(const lot::LotBook& book, const std::string& handlerState);
// The delivery's line as an alarm set ("cannot deliver ...") or cleared ("delivered ..."); none
// for other lines.
std::optional<gem::StationEvent> gemDeliveryEvent(const std::string& line);

// "offline", "local" or "remote" as the --gem-control option says them.
std::optional<gem::Control> parseControl(const std::string& text);

#endif  // ATE_STATION_GEM_STATIONGEM_H_
