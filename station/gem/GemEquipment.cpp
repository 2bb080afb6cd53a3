#include "station/gem/GemEquipment.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

using secs::Format;
using secs::Item;

namespace gem {

namespace {

Item text(const std::string& value) { return Item::ascii(value); }
Item u4(std::uint64_t value) { return Item::u4(value); }
Item ack(std::uint8_t code) { return Item::binary(code); }

std::string encoded(const Item& item) {
  std::string out;
  secs::encode(item, out);
  return out;
}

// "YYYYMMDDhhmmsscc", local time (SEMI's 16-byte TIME).
std::string clockText() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &seconds);
#else
  localtime_r(&seconds, &local);
#endif
  const auto centis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000 /
      10;
  char out[64];
  std::snprintf(out, sizeof out, "%04d%02d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(centis));
  return out;
}

Item binCounts(const std::vector<std::pair<std::uint32_t, long>>& bins) {
  std::vector<Item> items;
  for (const auto& [bin, count] : bins) {
    items.push_back(Item::list({u4(bin), u4(static_cast<std::uint64_t>(std::max(0L, count)))}));
  }
  return Item::list(std::move(items));
}

// The ids of a list of integer items (or of one integer array); nullopt when it is neither.
std::optional<std::vector<std::uint32_t>> ids(const Item& item) {
  std::vector<std::uint32_t> out;
  if (item.isList()) {
    for (const Item& inner : item.items()) {
      const auto id = inner.unsignedValue();
      if (!id) return std::nullopt;
      out.push_back(static_cast<std::uint32_t>(*id));
    }
    return out;
  }
  if (item.isInteger()) {
    for (const std::uint64_t v : item.unsignedValues())
      out.push_back(static_cast<std::uint32_t>(v));
    for (const std::int64_t v : item.signedValues()) {
      if (v < 0) return std::nullopt;
      out.push_back(static_cast<std::uint32_t>(v));
    }
    return out;
  }
  return std::nullopt;
}

std::uint8_t alarmCategory(std::uint32_t alid) {
  switch (alid) {
    case AL_DRIVER:
      return 5;  // irrecoverable error
    case AL_DELIVERY:
      return 8;  // data integrity
    default:
      return 6;  // equipment status warning
  }
}

bool knownPrimary(int stream, int function) {
  switch (stream) {
    case 1:
      return function == 1 || function == 3 || function == 11 || function == 13 || function == 15 ||
             function == 17 || function == 21 || function == 23;
    case 2:
      return function == 13 || function == 15 || function == 17 || function == 29 ||
             function == 31 || function == 33 || function == 35 || function == 37 || function == 41;
    case 5:
      return function == 3 || function == 5 || function == 7;
    case 7:
      return function == 19;
    case 10:
      return function == 3;
    default:
      return false;
  }
}

bool knownStream(int stream) {
  return stream == 1 || stream == 2 || stream == 5 || stream == 6 || stream == 7 || stream == 9 ||
         stream == 10;
}

}  // namespace

GemEquipment::GemEquipment(GemOptions options, StationActions actions)
    : options_(std::move(options)), actions_(std::move(actions)) {
  for (const ConstantInfo& info : equipmentConstants()) constants_[info.id] = info.byDefault;
  load();
  control_ = options_.initial;
  onlineRemote_ = options_.initial == Control::ONLINE_REMOTE;
  view_.control = control_;
  HsmsLink::Events events;
  events.onData = [this](const hsms::Message& message) {
    post([this, message] { onMessage(message); });
  };
  events.onSelected = [this](bool selected) { post([this, selected] { onSelected(selected); }); };
  events.onNote = [this](const std::string& line) {
    if (actions_.note) actions_.note(line);
  };
  link_ = std::make_unique<HsmsLink>(options_.link, std::move(events));
}

GemEquipment::~GemEquipment() {
  stop();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void GemEquipment::stop() {
  link_->stop();  // no more messages come
  {
    std::lock_guard<std::mutex> lock(commandMutex_);
    commandStopping_ = true;
  }
  commandWake_.notify_all();
  if (commandThread_.joinable()) commandThread_.join();
}

bool GemEquipment::start(std::string& error) {
  thread_ = std::thread(&GemEquipment::loop, this);
  commandThread_ = std::thread(&GemEquipment::commandLoop, this);
  return link_->start(error);
}

int GemEquipment::port() const { return link_->port(); }

void GemEquipment::post(std::function<void()> work) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(work));
  }
  wake_.notify_one();
}

void GemEquipment::postCommand(std::function<void()> command) {
  {
    std::lock_guard<std::mutex> lock(commandMutex_);
    commands_.push_back(std::move(command));
  }
  commandWake_.notify_one();
}

void GemEquipment::loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // Wakes for work, or to try S1F13 again while not communicating.
    wake_.wait_for(lock, std::chrono::milliseconds(200),
                   [this] { return stopping_ || !queue_.empty(); });
    if (stopping_) return;
    while (!queue_.empty()) {
      std::function<void()> work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      work();
      lock.lock();
    }
    lock.unlock();
    if (link_->selected() && !communicating_ && !waitingCra_ &&
        std::chrono::steady_clock::now() >= nextEstablish_) {
      establish();
    }
    {
      std::lock_guard<std::mutex> viewLock(mutex_);
      view_.selected = link_->selected();
    }
    lock.lock();
  }
}

void GemEquipment::commandLoop() {
  std::unique_lock<std::mutex> lock(commandMutex_);
  for (;;) {
    commandWake_.wait(lock, [this] { return commandStopping_ || !commands_.empty(); });
    if (commandStopping_) return;
    std::function<void()> command = std::move(commands_.front());
    commands_.pop_front();
    lock.unlock();
    command();
    lock.lock();
  }
}

GemEquipment::View GemEquipment::view() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return view_;
}

LotGuards GemEquipment::defaultGuards() const {
  // Read on the command thread while the equipment's may change them: through the queue's lock.
  std::lock_guard<std::mutex> lock(mutex_);
  LotGuards guards;
  const auto get = [this](std::uint32_t id) {
    const auto found = constants_.find(id);
    return found == constants_.end() ? 0.0 : found->second;
  };
  guards.siteFailsInRow = static_cast<long>(get(EC_SITE_FAILS_IN_ROW));
  guards.siteYield = {get(EC_SITE_YIELD_PERCENT), static_cast<long>(get(EC_SITE_YIELD_AFTER))};
  guards.lotYield = {get(EC_LOT_YIELD_PERCENT), static_cast<long>(get(EC_LOT_YIELD_AFTER))};
  return guards;
}

double GemEquipment::constant(std::uint32_t ecid) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = constants_.find(ecid);
  return found == constants_.end() ? 0.0 : found->second;
}

// ----- the state models

void GemEquipment::onSelected(bool selected) {
  communicating_ = false;
  waitingCra_ = false;
  nextEstablish_ = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.selected = selected;
    view_.communicating = false;
  }
  if (actions_.changed) actions_.changed();
}

void GemEquipment::establish() {
  waitingCra_ = true;
  const bool sent = link_->send(
      1, 13, true, encoded(Item::list({text(options_.modelName), text(options_.softwareRevision)})),
      [this](const hsms::Message* reply) {
        std::optional<std::string> body;
        if (reply) body = reply->body;
        post([this, body] {
          waitingCra_ = false;
          Item item;
          bool has = false;
          std::string error;
          if (body &&
              secs::decode(reinterpret_cast<const std::uint8_t*>(body->data()), body->size(), item,
                           has, error) &&
              has && item.isList() && item.size() >= 1 && item[0].unsignedValue() == 0u) {
            communicating_ = true;
            {
              std::lock_guard<std::mutex> lock(mutex_);
              view_.communicating = true;
            }
            if (actions_.changed) actions_.changed();
            return;
          }
          nextEstablish_ = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(static_cast<long long>(
                               1000 * constant(EC_ESTABLISH_COMMUNICATIONS_TIMEOUT)));
        });
      });
  if (!sent) {
    waitingCra_ = false;
    nextEstablish_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  }
}

void GemEquipment::setControl(Control state) {
  if (state == control_) return;
  const bool wasOnline = control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE;
  control_ = state;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.control = state;
  }
  if (actions_.note) actions_.note(std::string("gem: control state ") + controlName(state));
  // The host hears of a change it can see: to or from an online state.
  const bool online = state == Control::ONLINE_LOCAL || state == Control::ONLINE_REMOTE;
  if (online || wasOnline) fire(CE_CONTROL_STATE_CHANGED, nullptr, true);
  if (actions_.changed) actions_.changed();
}

void GemEquipment::setProcess(Process state) {
  if (state == process_) return;
  previousProcess_ = process_;
  process_ = state;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.process = state;
  }
  fire(CE_PROCESS_STATE_CHANGED);
}

void GemEquipment::operatorControl(bool online, bool remote) {
  post([this, online, remote] {
    onlineRemote_ = remote;
    if (!online) {
      setControl(Control::EQUIPMENT_OFFLINE);
      return;
    }
    if (control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE) {
      setControl(remote ? Control::ONLINE_REMOTE : Control::ONLINE_LOCAL);
      return;
    }
    // Attempt online: the host answers S1F1, or the station goes back offline.
    setControl(Control::ATTEMPT_ONLINE);
    const bool sent = link_->send(1, 1, true, "", [this](const hsms::Message* reply) {
      const bool answered = reply != nullptr && reply->header.function() == 2;
      post([this, answered] {
        if (control_ != Control::ATTEMPT_ONLINE) return;
        setControl(answered ? (onlineRemote_ ? Control::ONLINE_REMOTE : Control::ONLINE_LOCAL)
                            : Control::EQUIPMENT_OFFLINE);
      });
    });
    if (!sent) setControl(Control::EQUIPMENT_OFFLINE);
  });
}

void GemEquipment::operatorAnswer(const std::string& answer) {
  post([this, answer] {
    if (communicating_) {
      link_->send(10, 1, true, encoded(Item::list({Item::binary(0), text(answer)})));
    }
    StationEvent event;
    event.kind = StationEvent::Kind::status;
    event.alarmText = answer;
    fire(CE_OPERATOR_ANSWERED, &event);
  });
}

// ----- the station's events

void GemEquipment::stationEvent(StationEvent event) {
  post([this, event = std::move(event)] { applyStation(event); });
}

void GemEquipment::applyStation(const StationEvent& event) {
  if (event.withStatus) status_ = event.status;
  using Kind = StationEvent::Kind;
  switch (event.kind) {
    case Kind::status:
      break;
    case Kind::lotStarted:
      fire(CE_LOT_STARTED, &event);
      break;
    case Kind::lotPaused:
      fire(CE_LOT_PAUSED, &event);
      break;
    case Kind::lotResumed:
      fire(CE_LOT_RESUMED, &event);
      break;
    case Kind::lotEnded:
      fire(CE_LOT_ENDED, &event);
      break;
    case Kind::lotResumedAfterRestart:
      fire(CE_LOT_RESUMED_AFTER_RESTART, &event);
      break;
    case Kind::waferStarted:
      fire(CE_WAFER_STARTED, &event);
      break;
    case Kind::waferEnded:
      fire(CE_WAFER_ENDED, &event);
      break;
    case Kind::touchdownDone:
      fire(CE_TOUCHDOWN_DONE, &event);
      break;
    case Kind::alarmSet:
    case Kind::alarmCleared:
      alarm(event.alarm, event.kind == Kind::alarmSet, event.alarmText);
      break;
  }
  if (!status_.program.empty() && ppid_.empty()) ppid_ = status_.program;
  setProcess(status_.lotActive ? (status_.paused ? Process::PAUSED : Process::EXECUTING)
                               : (ppid_.empty() ? Process::IDLE : Process::SETUP));
}

void GemEquipment::alarm(std::uint32_t alid, bool set, const std::string& alarmText) {
  const bool wasSet = alarmsSet_.count(alid) > 0;
  if (set == wasSet && !set) return;  // nothing to clear
  if (set) {
    alarmsSet_[alid] = alarmText;
  } else {
    alarmsSet_.erase(alid);
  }
  const bool online = control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE;
  if (communicating_ && online && disabledAlarms_.count(alid) == 0) {
    const auto code = static_cast<std::uint8_t>((set ? 0x80 : 0) | alarmCategory(alid));
    link_->send(5, 1, true,
                encoded(Item::list({Item::binary(code), u4(alid), text(alarmText.substr(0, 40))})));
  }
  StationEvent event;
  event.alarm = alid;
  event.alarmText = alarmText;
  fire(set ? CE_ALARM_SET : CE_ALARM_CLEARED, &event);
}

void GemEquipment::fire(std::uint32_t ceid, const StationEvent* event, bool evenOffline) {
  const bool online = control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE;
  if (!communicating_ || !(online || evenOffline) || disabledEvents_.count(ceid) > 0) return;
  std::vector<Item> reports;
  const auto linked = links_.find(ceid);
  if (linked != links_.end()) {
    for (const std::uint32_t rptid : linked->second) {
      const auto report = reports_.find(rptid);
      if (report == reports_.end()) continue;
      std::vector<Item> values;
      for (const std::uint32_t vid : report->second.variables) values.push_back(value(vid, event));
      reports.push_back(Item::list({u4(rptid), Item::list(std::move(values))}));
    }
  }
  link_->send(6, 11, true, encoded(Item::list({u4(dataId_++), u4(ceid), Item::list(reports)})));
}

Item GemEquipment::value(std::uint32_t vid, const StationEvent* event) const {
  const StationStatus& s = status_;
  switch (vid) {
    case SV_CLOCK:
      return text(clockText());
    case SV_CONTROL_STATE:
      return Item::u1(static_cast<std::uint8_t>(control_));
    case SV_PROCESS_STATE:
      return Item::u1(static_cast<std::uint8_t>(process_));
    case SV_PREVIOUS_PROCESS_STATE:
      return Item::u1(static_cast<std::uint8_t>(previousProcess_));
    case SV_PP_EXEC_NAME:
      return text(s.lotActive && !s.program.empty() ? s.program : ppid_);
    case SV_LOT_ID:
      return text(s.lotId);
    case SV_SUBLOT_ID:
      return text(s.sublotId);
    case SV_OPERATOR_ID:
      return text(s.operatorId);
    case SV_PRODUCT_ID:
      return text(s.productId);
    case SV_SITE_COUNT:
      return u4(static_cast<std::uint64_t>(s.siteCount));
    case SV_LOT_PART_COUNT:
      return u4(static_cast<std::uint64_t>(s.parts));
    case SV_LOT_GOOD_COUNT:
      return u4(static_cast<std::uint64_t>(s.good));
    case SV_LOT_YIELD:
      return Item::f8(s.parts > 0 ? 100.0 * static_cast<double>(s.good) / s.parts : 0.0);
    case SV_HARD_BIN_COUNTS:
      return binCounts(s.hardBins);
    case SV_SOFT_BIN_COUNTS:
      return binCounts(s.softBins);
    case SV_HANDLER_STATE:
      return text(s.handlerState);
    case SV_WAFER_ID:
      return text(s.waferId);
    case SV_COMMUNICATION_STATE:
      return Item::u1(communicating_ ? 2 : 1);
    default:
      break;
  }
  if (event == nullptr) return Item::list({});
  switch (vid) {
    case DV_TOUCHDOWN_NUMBER:
      return u4(static_cast<std::uint64_t>(std::max(0L, event->touchdown)));
    case DV_TOUCHDOWN_SITES:
    case DV_TOUCHDOWN_BINS: {
      std::vector<std::uint64_t> values;
      for (const int v : vid == DV_TOUCHDOWN_SITES ? event->sites : event->bins) {
        values.push_back(static_cast<std::uint64_t>(std::max(0, v)));
      }
      return Item::unsignedOf(Format::U4, std::move(values));
    }
    case DV_TOUCHDOWN_PART_IDS: {
      std::vector<Item> items;
      for (const std::string& id : event->partIds) items.push_back(text(id));
      return Item::list(std::move(items));
    }
    case DV_ALARM_ID:
      return u4(event->alarm);
    case DV_ALARM_TEXT:
    case DV_TERMINAL_TEXT:
      return text(event->alarmText);
    default:
      return Item::list({});
  }
}

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
    communicating_ = true;
    waitingCra_ = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      view_.communicating = true;
    }
    reply(message, 14,
          Item::list(
              {ack(0), Item::list({text(options_.modelName), text(options_.softwareRevision)})}));
    if (actions_.changed) actions_.changed();
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
  const auto malformed = [&] { link_->sendError(7, message.header); };

  if (stream == 1 && function == 1) {
    reply(message, 2, Item::list({text(options_.modelName), text(options_.softwareRevision)}));
  } else if (stream == 1 && (function == 3 || function == 11)) {
    const auto wanted = ids(b);
    if (!wanted) return malformed();
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
    reply(message, function + 1, Item::list(std::move(items)));
  } else if (stream == 1 && function == 15) {
    reply(message, 16, ack(0));
    setControl(Control::HOST_OFFLINE);
  } else if (stream == 1 && function == 17) {
    const bool online = control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE;
    reply(message, 18, ack(online ? 2 : 0));
    if (!online) setControl(onlineRemote_ ? Control::ONLINE_REMOTE : Control::ONLINE_LOCAL);
  } else if (stream == 1 && function == 21) {
    const auto wanted = ids(b);
    if (!wanted) return malformed();
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
    reply(message, 22, Item::list(std::move(items)));
  } else if (stream == 1 && function == 23) {
    const auto wanted = ids(b);
    if (!wanted) return malformed();
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
    reply(message, 24, Item::list(std::move(items)));
  } else if (stream == 2 && function == 13) {
    const auto wanted = ids(b);
    if (!wanted) return malformed();
    std::vector<std::uint32_t> list = *wanted;
    if (list.empty()) {
      for (const ConstantInfo& ec : equipmentConstants()) list.push_back(ec.id);
    }
    std::vector<Item> items;
    for (const std::uint32_t id : list) {
      const auto found = constants_.find(id);
      items.push_back(found == constants_.end() ? Item::list({}) : Item::f8(found->second));
    }
    reply(message, 14, Item::list(std::move(items)));
  } else if (stream == 2 && function == 15) {
    if (!b.isList()) return malformed();
    // All or none: 1 an unknown constant, 3 a value out of its range.
    std::uint8_t eac = 0;
    std::map<std::uint32_t, double> changes;
    for (const Item& pair : b.items()) {
      if (!pair.isList() || pair.size() != 2 || !pair[0].unsignedValue()) return malformed();
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
    reply(message, 16, ack(eac));
  } else if (stream == 2 && function == 17) {
    reply(message, 18, text(clockText()));
  } else if (stream == 2 && function == 29) {
    const auto wanted = ids(b);
    if (!wanted) return malformed();
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
        items.push_back(Item::list(
            {u4(id), text(""), Item::list({}), Item::list({}), Item::list({}), text("")}));
      }
    }
    reply(message, 30, Item::list(std::move(items)));
  } else if (stream == 2 && function == 31) {
    // The station does not set its computer's clock.
    reply(message, 32, ack(1));
  } else if (stream == 2 && function == 33) {
    // DRACK: 0 ok, 2 invalid format, 3 a report defined already, 4 a variable that doesn't exist.
    if (!b.isList() || b.size() != 2 || !b[1].isList()) return reply(message, 34, ack(2));
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
    reply(message, 34, ack(drack));
  } else if (stream == 2 && function == 35) {
    // LRACK: 0 ok, 2 invalid format, 3 an event linked already, 4 no such event, 5 no such report.
    if (!b.isList() || b.size() != 2 || !b[1].isList()) return reply(message, 36, ack(2));
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
    reply(message, 36, ack(lrack));
  } else if (stream == 2 && function == 37) {
    // ERACK: 0 ok, 1 an event that doesn't exist.
    if (!b.isList() || b.size() != 2 || b[0].format() != Format::BOOLEAN || b[0].size() != 1) {
      return malformed();
    }
    const bool enable = b[0].bytes()[0] != 0;
    const auto ceids = ids(b[1]);
    if (!ceids) return malformed();
    for (const std::uint32_t ceid : *ceids) {
      if (!eventExists(ceid)) return reply(message, 38, ack(1));
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
    reply(message, 38, ack(0));
  } else if (stream == 2 && function == 41) {
    reply(message, 42, remoteCommand(b));
  } else if (stream == 5 && function == 3) {
    // ALED: bit 8 enables; ALID (zero-length: all).
    if (!b.isList() || b.size() != 2 || b[0].format() != Format::B || b[0].size() != 1) {
      return reply(message, 4, ack(1));
    }
    const bool enable = (static_cast<std::uint8_t>(b[0].bytes()[0]) & 0x80) != 0;
    std::vector<std::uint32_t> list;
    if (b[1].size() == 0) {
      for (const Named& alarm : alarms()) list.push_back(alarm.id);
    } else if (const auto id = b[1].unsignedValue();
               id && alarmExists(static_cast<std::uint32_t>(*id))) {
      list.push_back(static_cast<std::uint32_t>(*id));
    } else {
      return reply(message, 4, ack(1));
    }
    for (const std::uint32_t alid : list) {
      if (enable) {
        disabledAlarms_.erase(alid);
      } else {
        disabledAlarms_.insert(alid);
      }
    }
    save();
    reply(message, 4, ack(0));
  } else if (stream == 5 && (function == 5 || function == 7)) {
    std::vector<std::uint32_t> list;
    if (function == 5) {
      const auto wanted = ids(b);
      if (!wanted) return malformed();
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
      items.push_back(Item::list(
          {Item::binary(code), u4(alid),
           text(set != alarmsSet_.end() ? set->second.substr(0, 40) : alarmName(alid))}));
    }
    reply(message, function + 1, Item::list(std::move(items)));
  } else if (stream == 7 && function == 19) {
    std::vector<Item> items;
    for (const std::string& ppid :
         actions_.programs ? actions_.programs() : std::vector<std::string>()) {
      items.push_back(text(ppid));
    }
    reply(message, 20, Item::list(std::move(items)));
  } else if (stream == 10 && function == 3) {
    if (!b.isList() || b.size() != 2 || !b[1].isText()) return malformed();
    const auto terminal = b[0].unsignedValue().value_or(0);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      view_.terminalText = b[1].bytes();
    }
    if (actions_.showText) actions_.showText(static_cast<int>(terminal), b[1].bytes());
    reply(message, 4, ack(0));
  }
}

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
