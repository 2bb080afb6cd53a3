#include "station/gem/GemEquipment.h"

#include "station/gem/GemItems.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

using secs::Format;
using secs::Item;

namespace gem {

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
  communicating_ = false;  // what happens now waits in the spool
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
            established();
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
  if (online && disabledAlarms_.count(alid) == 0) {
    const auto code = static_cast<std::uint8_t>((set ? 0x80 : 0) | alarmCategory(alid));
    sendOrSpool(5, 1,
                encoded(Item::list({Item::binary(code), u4(alid), text(alarmText.substr(0, 40))})));
  }
  StationEvent event;
  event.alarm = alid;
  event.alarmText = alarmText;
  fire(set ? CE_ALARM_SET : CE_ALARM_CLEARED, &event);
}

void GemEquipment::fire(std::uint32_t ceid, const StationEvent* event, bool evenOffline) {
  const bool online = control_ == Control::ONLINE_LOCAL || control_ == Control::ONLINE_REMOTE;
  if (!(online || evenOffline) || disabledEvents_.count(ceid) > 0) return;
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
  sendOrSpool(6, 11, encoded(Item::list({u4(dataId_++), u4(ceid), Item::list(reports)})));
}

void GemEquipment::sendOrSpool(int stream, int function, std::string body) {
  if (communicating_) {
    link_->send(stream, function, true, body);
    return;
  }
  if (spool_.size() >= MAX_SPOOLED) {
    spool_.pop_front();
    if (++spoolDropped_ == 1 && actions_.note) {
      actions_.note("gem: more than " + std::to_string(MAX_SPOOLED) +
                    " events wait for the host; the oldest are dropped");
    }
  }
  spool_.push_back(Spooled{stream, function, std::move(body)});
}

void GemEquipment::established() {
  communicating_ = true;
  waitingCra_ = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    view_.communicating = true;
  }
  if (actions_.changed) actions_.changed();
  // What happened meanwhile goes out in order.
  while (!spool_.empty() && communicating_) {
    const Spooled next = std::move(spool_.front());
    spool_.pop_front();
    link_->send(next.stream, next.function, true, next.body);
  }
  spoolDropped_ = 0;
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

}  // namespace gem
