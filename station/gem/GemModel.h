// What the station shows a factory host through GEM: its status variables, data variables,
// collection events, alarms and equipment constants, each with a fixed id and name. Hosts are
// configured by these names (S1F11/F12, S1F21/F22, S1F23/F24, S2F29/F30 list them), so a name
// never changes once released; new ones take new ids.
#ifndef ATE_STATION_GEM_GEMMODEL_H_
#define ATE_STATION_GEM_GEMMODEL_H_

#include <cstdint>
#include <string>
#include <vector>

namespace gem {

// Status variables.
enum Svid : std::uint32_t {
  SV_CLOCK = 1001,
  SV_CONTROL_STATE,
  SV_PROCESS_STATE,
  SV_PREVIOUS_PROCESS_STATE,
  SV_PP_EXEC_NAME,
  SV_LOT_ID,
  SV_SUBLOT_ID,
  SV_OPERATOR_ID,
  SV_PRODUCT_ID,
  SV_SITE_COUNT,
  SV_LOT_PART_COUNT,
  SV_LOT_GOOD_COUNT,
  SV_LOT_YIELD,
  SV_HARD_BIN_COUNTS,
  SV_SOFT_BIN_COUNTS,
  SV_HANDLER_STATE,
  SV_WAFER_ID,
  SV_COMMUNICATION_STATE,
};

// Data variables: the values an event carries.
enum Dvid : std::uint32_t {
  DV_TOUCHDOWN_SITES = 2001,
  DV_TOUCHDOWN_PART_IDS,
  DV_TOUCHDOWN_BINS,
  DV_ALARM_ID,
  DV_ALARM_TEXT,
  DV_TOUCHDOWN_NUMBER,
  DV_TERMINAL_TEXT,
};

// Collection events.
enum Ceid : std::uint32_t {
  CE_CONTROL_STATE_CHANGED = 3001,
  CE_PROCESS_STATE_CHANGED,
  CE_PP_SELECTED,
  CE_LOT_STARTED,
  CE_LOT_PAUSED,
  CE_LOT_RESUMED,
  CE_LOT_ENDED,
  CE_LOT_RESUMED_AFTER_RESTART,
  CE_WAFER_STARTED,
  CE_WAFER_ENDED,
  CE_TOUCHDOWN_DONE,
  CE_ALARM_SET,
  CE_ALARM_CLEARED,
  CE_OPERATOR_ANSWERED,
};

// Alarms.
enum Alid : std::uint32_t {
  AL_HANDLER = 4001,     // the handler's ALARM, until it is READY
  AL_SITE_FAILS_IN_ROW,  // the yield guards, until the operator resumes
  AL_SITE_YIELD,
  AL_LOT_YIELD,
  AL_DRIVER,        // the driver died, or a touchdown's run failed
  AL_DELIVERY,      // datalogs can't be delivered
  AL_HANDLER_LINE,  // a line from the handler the station refused
  AL_STATION,       // any other alarm of the lot
};

// Equipment constants.
enum Ecid : std::uint32_t {
  EC_ESTABLISH_COMMUNICATIONS_TIMEOUT = 5001,
  EC_SITE_FAILS_IN_ROW,
  EC_SITE_YIELD_PERCENT,
  EC_SITE_YIELD_AFTER,
  EC_LOT_YIELD_PERCENT,
  EC_LOT_YIELD_AFTER,
};

// The control states as ControlState says them (SEMI E30).
enum class Control : std::uint8_t {
  EQUIPMENT_OFFLINE = 1,
  ATTEMPT_ONLINE = 2,
  HOST_OFFLINE = 3,
  ONLINE_LOCAL = 4,
  ONLINE_REMOTE = 5,
};
const char* controlName(Control state);

// The tester's processing states (ProcessState).
enum class Process : std::uint8_t {
  IDLE = 1,       // no program selected, no lot
  SETUP = 2,      // a program selected
  EXECUTING = 3,  // a lot running
  PAUSED = 4,     // a lot paused
};
const char* processName(Process state);

struct Named {
  std::uint32_t id;
  const char* name;
  const char* units;
};

const std::vector<Named>& statusVariables();
const std::vector<Named>& dataVariables();
struct EventInfo {
  std::uint32_t id;
  const char* name;
  std::vector<std::uint32_t> dataVariables;  // what the event carries besides status variables
};
const std::vector<EventInfo>& collectionEvents();
const std::vector<Named>& alarms();
struct ConstantInfo {
  std::uint32_t id;
  const char* name;
  const char* units;
  double min, max, byDefault;
};
const std::vector<ConstantInfo>& equipmentConstants();

// Whether vid names a status or data variable.
bool variableExists(std::uint32_t vid);
bool eventExists(std::uint32_t ceid);
bool alarmExists(std::uint32_t alid);
const char* alarmName(std::uint32_t alid);

}  // namespace gem

#endif  // ATE_STATION_GEM_GEMMODEL_H_
