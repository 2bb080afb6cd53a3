// The host's messages: which the equipment answers in which state, and each one's answer.
#include <algorithm>
#include <cmath>

#include "station/gem/GemEquipment.h"
#include "station/gem/GemItems.h"

using secs::Format;
using secs::Item;

namespace gem {

// ----- the host's messages

void GemEquipment::reply(const hsms::Message& to, int function, const Item& body) {
  link_->reply(to.header, function, encoded(body));
}

void GemEquipment::replyAbort(const hsms::Message& to) {
  if (to.header.wait()) link_->reply(to.header, 0, "");
}

void GemEquipment::onMessage(const hsms::Message& message) {
  const hsms::Header& h = message.header;
  if (!knownStream(h.stream())) {
    link_->sendError(3, h);
    return;
  }
  if (!knownPrimary(h.stream(), h.function())) {
    link_->sendError(5, h);
    return;
  }
  Item body;
  bool has = false;
  std::string error;
  if (!secs::decode(reinterpret_cast<const std::uint8_t*>(message.body.data()), message.body.size(),
                    body, has, error)) {
    if (actions_.note) {
      actions_.note("gem: S" + std::to_string(h.stream()) + "F" + std::to_string(h.function()) +
                    " can't be read (" + error + "): S9F7 sent");
    }
    link_->sendError(7, h);
    return;
  }
  const bool establishing = h.stream() == 1 && h.function() == 13;
  if (establishing) {
    reply(message, 14,
          Item::list(
              {ack(0), Item::list({text(options_.modelName), text(options_.softwareRevision)})}));
    established();
    return;
  }
  if (!communicating_) {
    replyAbort(message);
    return;
  }
  const bool requestOnline = h.stream() == 1 && h.function() == 17;
  if (control_ == Control::EQUIPMENT_OFFLINE || control_ == Control::ATTEMPT_ONLINE ||
      (control_ == Control::HOST_OFFLINE && !requestOnline)) {
    if (requestOnline) {
      reply(message, 18, ack(1));  // not allowed: the operator keeps the station offline
    } else {
      replyAbort(message);
    }
    return;
  }
  dispatch(message, has ? &body : nullptr);
}

void GemEquipment::dispatch(const hsms::Message& message, const Item* body) {
  const int stream = message.header.stream();
  const int function = message.header.function();
  const Item empty;
  const Item& b = body ? *body : empty;
  // Those that change the state after their reply.
  if (stream == 1 && function == 15) {
    reply(message, 16, ack(0));
    setControl(Control::HOST_OFFLINE);
    return;
  }
  if (stream == 1 && function == 17) {
    const bool online = control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE;
    reply(message, 18, ack(online ? 2 : 0));
    if (!online) setControl(onlineRemote_ ? Control::ONLINE_REMOTE : Control::ONLINE_LOCAL);
    return;
  }
  using Answer = std::optional<Item> (GemEquipment::*)(const Item&, int);
  struct Entry {
    int stream, function;
    Answer answer;
  };
  static const Entry ANSWERS[] = {
      {1, 1, &GemEquipment::answerS1F1},   {1, 3, &GemEquipment::answerS1F3},
      {1, 11, &GemEquipment::answerS1F3},  {1, 21, &GemEquipment::answerS1F21},
      {1, 23, &GemEquipment::answerS1F23}, {2, 13, &GemEquipment::answerS2F13},
      {2, 15, &GemEquipment::answerS2F15}, {2, 17, &GemEquipment::answerS2F17},
      {2, 29, &GemEquipment::answerS2F29}, {2, 31, &GemEquipment::answerS2F31},
      {2, 33, &GemEquipment::answerS2F33}, {2, 35, &GemEquipment::answerS2F35},
      {2, 37, &GemEquipment::answerS2F37}, {2, 41, &GemEquipment::answerS2F41},
      {5, 3, &GemEquipment::answerS5F3},   {5, 5, &GemEquipment::answerS5F5},
      {5, 7, &GemEquipment::answerS5F5},   {7, 19, &GemEquipment::answerS7F19},
      {10, 3, &GemEquipment::answerS10F3},
  };
  for (const Entry& entry : ANSWERS) {
    if (entry.stream != stream || entry.function != function) continue;
    const std::optional<Item> answer = (this->*entry.answer)(b, function);
    if (answer) {
      reply(message, function + 1, *answer);
    } else {
      // A body of the wrong shape for its message.
      link_->sendError(7, message.header);
    }
    return;
  }
}

std::optional<Item> GemEquipment::answerS1F1(const Item&, int) {
  return Item::list({text(options_.modelName), text(options_.softwareRevision)});
}

std::optional<Item> GemEquipment::answerS2F17(const Item&, int) { return text(clockText()); }

std::optional<Item> GemEquipment::answerS2F41(const Item& b, int) { return remoteCommand(b); }

std::optional<Item> GemEquipment::answerS1F3(const Item& b, int function) {
  const auto wanted = ids(b);
  if (!wanted) return std::nullopt;
  std::vector<std::uint32_t> list = *wanted;
  if (list.empty()) {
    for (const Named& sv : statusVariables()) list.push_back(sv.id);
  }
  std::vector<Item> items;
  for (const std::uint32_t id : list) {
    const Named* found = nullptr;
    for (const Named& sv : statusVariables()) {
      if (sv.id == id) found = &sv;
    }
    if (function == 3) {
      items.push_back(found ? value(id, nullptr) : Item::list({}));
    } else {
      items.push_back(
          Item::list({u4(id), text(found ? found->name : ""), text(found ? found->units : "")}));
    }
  }
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS1F21(const Item& b, int) {
  const auto wanted = ids(b);
  if (!wanted) return std::nullopt;
  std::vector<Item> items;
  const auto add = [&](const Named& dv) {
    items.push_back(Item::list({u4(dv.id), text(dv.name), text(dv.units)}));
  };
  if (wanted->empty()) {
    for (const Named& dv : dataVariables()) add(dv);
  }
  for (const std::uint32_t id : *wanted) {
    const Named* found = nullptr;
    for (const Named& dv : dataVariables()) {
      if (dv.id == id) found = &dv;
    }
    add(found ? *found : Named{id, "", ""});
  }
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS1F23(const Item& b, int) {
  const auto wanted = ids(b);
  if (!wanted) return std::nullopt;
  std::vector<Item> items;
  const auto add = [&](std::uint32_t id) {
    for (const EventInfo& ce : collectionEvents()) {
      if (ce.id != id) continue;
      std::vector<std::uint64_t> vids(ce.dataVariables.begin(), ce.dataVariables.end());
      items.push_back(Item::list({u4(id), text(ce.name), Item::unsignedOf(Format::U4, vids)}));
      return;
    }
    items.push_back(Item::list({u4(id), text(""), Item::list({})}));
  };
  if (wanted->empty()) {
    for (const EventInfo& ce : collectionEvents()) add(ce.id);
  }
  for (const std::uint32_t id : *wanted) add(id);
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS2F13(const Item& b, int) {
  const auto wanted = ids(b);
  if (!wanted) return std::nullopt;
  std::vector<std::uint32_t> list = *wanted;
  if (list.empty()) {
    for (const ConstantInfo& ec : equipmentConstants()) list.push_back(ec.id);
  }
  std::vector<Item> items;
  for (const std::uint32_t id : list) {
    const auto found = constants_.find(id);
    items.push_back(found == constants_.end() ? Item::list({}) : Item::f8(found->second));
  }
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS2F15(const Item& b, int) {
  if (!b.isList()) return std::nullopt;
  // All or none: 1 an unknown constant, 3 a value out of its range.
  std::uint8_t eac = 0;
  std::map<std::uint32_t, double> changes;
  for (const Item& pair : b.items()) {
    if (!pair.isList() || pair.size() != 2 || !pair[0].unsignedValue()) return std::nullopt;
    const auto id = static_cast<std::uint32_t>(*pair[0].unsignedValue());
    const Item& v = pair[1];
    double number = NAN;
    if (!v.floatValues().empty()) number = v.floatValues()[0];
    if (!v.unsignedValues().empty()) number = static_cast<double>(v.unsignedValues()[0]);
    if (!v.signedValues().empty()) number = static_cast<double>(v.signedValues()[0]);
    const ConstantInfo* info = nullptr;
    for (const ConstantInfo& ec : equipmentConstants()) {
      if (ec.id == id) info = &ec;
    }
    if (info == nullptr) {
      eac = 1;
    } else if (std::isnan(number) || v.size() != 1 || number < info->min || number > info->max) {
      if (eac == 0) eac = 3;
    } else {
      changes[id] = number;
    }
  }
  if (eac == 0) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& [id, number] : changes) constants_[id] = number;
    }
    save();
    if (actions_.audit) actions_.audit("changed equipment constants");
  }
  return ack(eac);
}

std::optional<Item> GemEquipment::answerS2F29(const Item& b, int) {
  const auto wanted = ids(b);
  if (!wanted) return std::nullopt;
  std::vector<Item> items;
  for (const ConstantInfo& ec : equipmentConstants()) {
    bool asked = wanted->empty();
    for (const std::uint32_t id : *wanted) asked = asked || id == ec.id;
    if (!asked) continue;
    items.push_back(Item::list({u4(ec.id), text(ec.name), Item::f8(ec.min), Item::f8(ec.max),
                                Item::f8(ec.byDefault), text(ec.units)}));
  }
  for (const std::uint32_t id : *wanted) {
    bool known = false;
    for (const ConstantInfo& ec : equipmentConstants()) known = known || ec.id == id;
    if (!known) {
      items.push_back(
          Item::list({u4(id), text(""), Item::list({}), Item::list({}), Item::list({}), text("")}));
    }
  }
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS2F31(const Item&, int) {
  // The station does not set its computer's clock.
  return ack(1);
}

std::optional<Item> GemEquipment::answerS2F33(const Item& b, int) {
  // DRACK: 0 ok, 2 invalid format, 3 a report defined already, 4 a variable that doesn't exist.
  if (!b.isList() || b.size() != 2 || !b[1].isList()) return ack(2);
  std::uint8_t drack = 0;
  std::map<std::uint32_t, Report> next = reports_;
  if (b[1].size() == 0) next.clear();
  for (const Item& definition : b[1].items()) {
    if (!definition.isList() || definition.size() != 2 || !definition[0].unsignedValue()) {
      drack = 2;
      break;
    }
    const auto rptid = static_cast<std::uint32_t>(*definition[0].unsignedValue());
    const auto vids = ids(definition[1]);
    if (!vids) {
      drack = 2;
      break;
    }
    if (vids->empty()) {
      next.erase(rptid);
      continue;
    }
    if (next.count(rptid) > 0) {
      drack = 3;
      break;
    }
    for (const std::uint32_t vid : *vids) {
      if (!variableExists(vid)) drack = 4;
    }
    if (drack != 0) break;
    next[rptid] = Report{*vids};
  }
  if (drack == 0) {
    reports_ = std::move(next);
    // Links to reports that are gone go with them.
    for (auto& [ceid, linked] : links_) {
      linked.erase(std::remove_if(linked.begin(), linked.end(),
                                  [this](std::uint32_t r) { return reports_.count(r) == 0; }),
                   linked.end());
    }
    save();
  }
  return ack(drack);
}

std::optional<Item> GemEquipment::answerS2F35(const Item& b, int) {
  // LRACK: 0 ok, 2 invalid format, 3 an event linked already, 4 no such event, 5 no such report.
  if (!b.isList() || b.size() != 2 || !b[1].isList()) return ack(2);
  std::uint8_t lrack = 0;
  auto next = links_;
  for (const Item& link : b[1].items()) {
    if (!link.isList() || link.size() != 2 || !link[0].unsignedValue()) {
      lrack = 2;
      break;
    }
    const auto ceid = static_cast<std::uint32_t>(*link[0].unsignedValue());
    const auto rptids = ids(link[1]);
    if (!rptids) {
      lrack = 2;
      break;
    }
    if (!eventExists(ceid)) {
      lrack = 4;
      break;
    }
    if (rptids->empty()) {
      next.erase(ceid);
      continue;
    }
    if (next.count(ceid) > 0 && !next[ceid].empty()) {
      lrack = 3;
      break;
    }
    for (const std::uint32_t r : *rptids) {
      if (reports_.count(r) == 0) lrack = 5;
    }
    if (lrack != 0) break;
    next[ceid] = *rptids;
  }
  if (lrack == 0) {
    links_ = std::move(next);
    save();
  }
  return ack(lrack);
}

std::optional<Item> GemEquipment::answerS2F37(const Item& b, int) {
  // ERACK: 0 ok, 1 an event that doesn't exist.
  if (!b.isList() || b.size() != 2 || b[0].format() != Format::BOOLEAN || b[0].size() != 1) {
    return std::nullopt;
  }
  const bool enable = b[0].bytes()[0] != 0;
  const auto ceids = ids(b[1]);
  if (!ceids) return std::nullopt;
  for (const std::uint32_t ceid : *ceids) {
    if (!eventExists(ceid)) return ack(1);
  }
  std::vector<std::uint32_t> list = *ceids;
  if (list.empty()) {
    for (const EventInfo& ce : collectionEvents()) list.push_back(ce.id);
  }
  for (const std::uint32_t ceid : list) {
    if (enable) {
      disabledEvents_.erase(ceid);
    } else {
      disabledEvents_.insert(ceid);
    }
  }
  save();
  return ack(0);
}

std::optional<Item> GemEquipment::answerS5F3(const Item& b, int) {
  // ALED: bit 8 enables; ALID (zero-length: all).
  if (!b.isList() || b.size() != 2 || b[0].format() != Format::B || b[0].size() != 1) {
    return ack(1);
  }
  const bool enable = (static_cast<std::uint8_t>(b[0].bytes()[0]) & 0x80) != 0;
  std::vector<std::uint32_t> list;
  if (b[1].size() == 0) {
    for (const Named& alarm : alarms()) list.push_back(alarm.id);
  } else if (const auto id = b[1].unsignedValue();
             id && alarmExists(static_cast<std::uint32_t>(*id))) {
    list.push_back(static_cast<std::uint32_t>(*id));
  } else {
    return ack(1);
  }
  for (const std::uint32_t alid : list) {
    if (enable) {
      disabledAlarms_.erase(alid);
    } else {
      disabledAlarms_.insert(alid);
    }
  }
  save();
  return ack(0);
}

std::optional<Item> GemEquipment::answerS5F5(const Item& b, int function) {
  std::vector<std::uint32_t> list;
  if (function == 5) {
    const auto wanted = ids(b);
    if (!wanted) return std::nullopt;
    list = *wanted;
  }
  if (list.empty()) {
    for (const Named& alarm : alarms()) list.push_back(alarm.id);
  }
  std::vector<Item> items;
  for (const std::uint32_t alid : list) {
    if (function == 7 && disabledAlarms_.count(alid) > 0) continue;
    const auto set = alarmsSet_.find(alid);
    const auto code =
        static_cast<std::uint8_t>((set != alarmsSet_.end() ? 0x80 : 0) | alarmCategory(alid));
    items.push_back(
        Item::list({Item::binary(code), u4(alid),
                    text(set != alarmsSet_.end() ? set->second.substr(0, 40) : alarmName(alid))}));
  }
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS7F19(const Item&, int) {
  std::vector<Item> items;
  for (const std::string& ppid :
       actions_.programs ? actions_.programs() : std::vector<std::string>()) {
    items.push_back(text(ppid));
  }
  return Item::list(std::move(items));
}

std::optional<Item> GemEquipment::answerS10F3(const Item& b, int) {
  if (!b.isList() || b.size() != 2 || !b[1].isText()) return std::nullopt;
  const auto terminal = b[0].unsignedValue().value_or(0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.terminalText = b[1].bytes();
  }
  if (actions_.showText) actions_.showText(static_cast<int>(terminal), b[1].bytes());
  return ack(0);
}

}  // namespace gem
