// The host's remote commands (S2F41) on the station's lot.
#include <algorithm>

#include "station/gem/GemEquipment.h"
#include "station/gem/GemItems.h"

using secs::Item;

namespace gem {

// A command acknowledged with HCACK 4 that the station then could not carry out: the host hears
// it as the station's alarm.
void GemEquipment::commandFailed(const std::string& command, const std::string& why) {
  const std::string words = command + " refused: " + why;
  if (actions_.note) actions_.note("gem: " + words);
  StationEvent event;
  event.kind = StationEvent::Kind::alarmSet;
  event.withStatus = false;
  event.alarm = AL_STATION;
  event.alarmText = words;
  stationEvent(std::move(event));
}

// S2F41: RCMD and its parameters; the reply's HCACK and each refused parameter's CPACK.
Item GemEquipment::remoteCommand(const Item& body) {
  // HCACK: 0 done, 1 no such command, 2 cannot perform now, 3 a parameter is invalid,
  // 4 acknowledged (done later, its event says when). CPACK: 1 no such parameter, 2 an illegal
  // value, 3 an illegal format.
  const auto answer = [](std::uint8_t hcack, std::vector<Item> refused = {}) {
    return Item::list({ack(hcack), Item::list(std::move(refused))});
  };
  if (!body.isList() || body.size() != 2 || !body[0].isText() || !body[1].isList()) {
    return answer(3);
  }
  const std::string command = body[0].bytes();
  std::map<std::string, std::string> parameters;
  std::vector<Item> refused;
  for (const Item& pair : body[1].items()) {
    if (!pair.isList() || pair.size() != 2 || !pair[0].isText()) return answer(3);
    if (!pair[1].isText()) {
      refused.push_back(Item::list({text(pair[0].bytes()), ack(3)}));
      continue;
    }
    parameters[pair[0].bytes()] = pair[1].bytes();
  }
  const auto allowed = [&](std::initializer_list<const char*> names) {
    for (const auto& [name, v] : parameters) {
      bool known = false;
      for (const char* allowedName : names) known = known || name == allowedName;
      if (!known) refused.push_back(Item::list({text(name), ack(1)}));
    }
  };
  const bool known = command == "PP-SELECT" || command == "START" || command == "PAUSE" ||
                     command == "RESUME" || command == "STOP" || command == "ABORT";
  if (!known) return answer(1);
  if (control_ != Control::ONLINE_REMOTE) return answer(2);
  std::string words = command;
  for (const auto& [name, v] : parameters) words += " " + name + "=" + v;
  if (actions_.audit) actions_.audit("remote command " + words);

  if (command == "PP-SELECT") {
    allowed({"PPID"});
    const auto ppid = parameters.find("PPID");
    if (ppid == parameters.end()) refused.push_back(Item::list({text("PPID"), ack(1)}));
    if (!refused.empty()) return answer(3, std::move(refused));
    const std::vector<std::string> programs =
        actions_.programs ? actions_.programs() : std::vector<std::string>();
    if (std::find(programs.begin(), programs.end(), ppid->second) == programs.end()) {
      return answer(3, {Item::list({text("PPID"), ack(2)})});
    }
    if (status_.lotActive) return answer(2);
    ppid_ = ppid->second;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      view_.ppid = ppid_;
    }
    fire(CE_PP_SELECTED);
    setProcess(Process::SETUP);
    return answer(0);
  }
  if (command == "START") {
    allowed({"LOTID", "SETTING", "SUBLOTID", "OPERATOR", "PARTTYPE", "TESTCODE", "TEMPERATURE"});
    for (const char* required : {"LOTID", "SETTING"}) {
      const auto found = parameters.find(required);
      if (found == parameters.end()) {
        refused.push_back(Item::list({text(required), ack(1)}));
      } else if (found->second.empty()) {
        refused.push_back(Item::list({text(required), ack(2)}));
      }
    }
    if (!refused.empty()) return answer(3, std::move(refused));
    if (ppid_.empty() || status_.lotActive) return answer(2);
    LotRequest request;
    const auto at = ppid_.rfind('@');
    const auto slash = ppid_.find('/');
    if (at != std::string::npos) {
      request.release = ppid_.substr(0, at);
      request.revision = ppid_.substr(at + 1);
    } else {
      request.project = ppid_.substr(0, slash);
      if (slash != std::string::npos) request.flow = ppid_.substr(slash + 1);
    }
    const auto get = [&](const char* name) {
      const auto found = parameters.find(name);
      return found == parameters.end() ? std::string() : found->second;
    };
    request.lotId = get("LOTID");
    request.setting = get("SETTING");
    request.sublotId = get("SUBLOTID");
    request.operatorName = get("OPERATOR");
    request.partType = get("PARTTYPE");
    request.testCode = get("TESTCODE");
    request.temperature = get("TEMPERATURE");
    request.guards = defaultGuards();
    postCommand([this, request] {
      const CommandAnswer done = actions_.startLot ? actions_.startLot(request) : CommandAnswer{};
      if (!done.ok) commandFailed("START", done.message);
    });
    return answer(4);
  }
  allowed({});
  if (!refused.empty()) return answer(3, std::move(refused));
  std::function<CommandAnswer()> action;
  if (command == "PAUSE") {
    if (!status_.lotActive || status_.paused) return answer(2);
    action = actions_.pauseLot;
  } else if (command == "RESUME") {
    if (!status_.lotActive || !status_.paused) return answer(2);
    action = actions_.resumeLot;
  } else {
    if (!status_.lotActive) return answer(2);
    action = actions_.endLot;
  }
  postCommand([this, action, command] {
    const CommandAnswer done = action ? action() : CommandAnswer{};
    if (!done.ok) commandFailed(command, done.message);
  });
  return answer(4);
}

}  // namespace gem
