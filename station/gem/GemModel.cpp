#include "station/gem/GemModel.h"

#include <algorithm>

namespace gem {

const char* controlName(Control state) {
  switch (state) {
    case Control::EQUIPMENT_OFFLINE:
      return "equipment offline";
    case Control::ATTEMPT_ONLINE:
      return "attempt online";
    case Control::HOST_OFFLINE:
      return "host offline";
    case Control::ONLINE_LOCAL:
      return "online local";
    case Control::ONLINE_REMOTE:
      return "online remote";
  }
  return "?";
}

const char* processName(Process state) {
  switch (state) {
    case Process::IDLE:
      return "idle";
    case Process::SETUP:
      return "setup";
    case Process::EXECUTING:
      return "executing";
    case Process::PAUSED:
      return "paused";
  }
  return "?";
}

const std::vector<Named>& statusVariables() {
  static const std::vector<Named> list = {
      {SV_CLOCK, "Clock", ""},
      {SV_CONTROL_STATE, "ControlState", ""},
      {SV_PROCESS_STATE, "ProcessState", ""},
      {SV_PREVIOUS_PROCESS_STATE, "PreviousProcessState", ""},
      {SV_PP_EXEC_NAME, "PPExecName", ""},
      {SV_LOT_ID, "LotID", ""},
      {SV_SUBLOT_ID, "SubLotID", ""},
      {SV_OPERATOR_ID, "OperatorID", ""},
      {SV_PRODUCT_ID, "ProductID", ""},
      {SV_SITE_COUNT, "SiteCount", ""},
      {SV_LOT_PART_COUNT, "LotPartCount", "parts"},
      {SV_LOT_GOOD_COUNT, "LotGoodCount", "parts"},
      {SV_LOT_YIELD, "LotYield", "%"},
      {SV_HARD_BIN_COUNTS, "HardBinCounts", ""},
      {SV_SOFT_BIN_COUNTS, "SoftBinCounts", ""},
      {SV_HANDLER_STATE, "HandlerState", ""},
      {SV_WAFER_ID, "WaferID", ""},
      {SV_COMMUNICATION_STATE, "CommunicationState", ""},
  };
  return list;
}

const std::vector<Named>& dataVariables() {
  static const std::vector<Named> list = {
      {DV_TOUCHDOWN_SITES, "TouchdownSites", ""}, {DV_TOUCHDOWN_PART_IDS, "TouchdownPartIDs", ""},
      {DV_TOUCHDOWN_BINS, "TouchdownBins", ""},   {DV_ALARM_ID, "AlarmID", ""},
      {DV_ALARM_TEXT, "AlarmText", ""},           {DV_TOUCHDOWN_NUMBER, "TouchdownNumber", ""},
      {DV_TERMINAL_TEXT, "TerminalText", ""},
  };
  return list;
}

const std::vector<EventInfo>& collectionEvents() {
  static const std::vector<EventInfo> list = {
      {CE_CONTROL_STATE_CHANGED, "ControlStateChanged", {}},
      {CE_PROCESS_STATE_CHANGED, "ProcessStateChanged", {}},
      {CE_PP_SELECTED, "PPSelected", {}},
      {CE_LOT_STARTED, "LotStarted", {}},
      {CE_LOT_PAUSED, "LotPaused", {}},
      {CE_LOT_RESUMED, "LotResumed", {}},
      {CE_LOT_ENDED, "LotEnded", {}},
      {CE_LOT_RESUMED_AFTER_RESTART, "LotResumedAfterRestart", {}},
      {CE_WAFER_STARTED, "WaferStarted", {}},
      {CE_WAFER_ENDED, "WaferEnded", {}},
      {CE_TOUCHDOWN_DONE,
       "TouchdownDone",
       {DV_TOUCHDOWN_NUMBER, DV_TOUCHDOWN_SITES, DV_TOUCHDOWN_PART_IDS, DV_TOUCHDOWN_BINS}},
      {CE_ALARM_SET, "AlarmSet", {DV_ALARM_ID, DV_ALARM_TEXT}},
      {CE_ALARM_CLEARED, "AlarmCleared", {DV_ALARM_ID, DV_ALARM_TEXT}},
      {CE_OPERATOR_ANSWERED, "OperatorAnswered", {DV_TERMINAL_TEXT}},
  };
  return list;
}

const std::vector<Named>& alarms() {
  static const std::vector<Named> list = {
      {AL_HANDLER, "HandlerAlarm", ""},
      {AL_SITE_FAILS_IN_ROW, "SiteFailsInRowGuard", ""},
      {AL_SITE_YIELD, "SiteYieldGuard", ""},
      {AL_LOT_YIELD, "LotYieldGuard", ""},
      {AL_DRIVER, "DriverFailed", ""},
      {AL_DELIVERY, "DeliveryFailing", ""},
      {AL_HANDLER_LINE, "HandlerLineRefused", ""},
      {AL_STATION, "StationAlarm", ""},
  };
  return list;
}

const std::vector<ConstantInfo>& equipmentConstants() {
  static const std::vector<ConstantInfo> list = {
      {EC_ESTABLISH_COMMUNICATIONS_TIMEOUT, "EstablishCommunicationsTimeout", "s", 1, 3600, 10},
      {EC_SITE_FAILS_IN_ROW, "DefaultSiteFailsInRow", "parts", 0, 1000000, 0},
      {EC_SITE_YIELD_PERCENT, "DefaultSiteYieldPercent", "%", 0, 100, 0},
      {EC_SITE_YIELD_AFTER, "DefaultSiteYieldAfter", "parts", 0, 1000000000, 0},
      {EC_LOT_YIELD_PERCENT, "DefaultLotYieldPercent", "%", 0, 100, 0},
      {EC_LOT_YIELD_AFTER, "DefaultLotYieldAfter", "parts", 0, 1000000000, 0},
  };
  return list;
}

namespace {

template <typename List>
bool has(const List& list, std::uint32_t id) {
  return std::any_of(list.begin(), list.end(), [id](const auto& entry) { return entry.id == id; });
}

}  // namespace

bool variableExists(std::uint32_t vid) {
  return has(statusVariables(), vid) || has(dataVariables(), vid);
}
bool eventExists(std::uint32_t ceid) { return has(collectionEvents(), ceid); }
bool alarmExists(std::uint32_t alid) { return has(alarms(), alid); }

const char* alarmName(std::uint32_t alid) {
  for (const Named& alarm : alarms()) {
    if (alarm.id == alid) return alarm.name;
  }
  return "";
}

}  // namespace gem
