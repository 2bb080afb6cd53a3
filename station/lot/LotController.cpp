#include "station/lot/LotController.h"

#include <algorithm>

#include "station/EventLog.h"
#include "station/lot/LotState.h"
#include "station/lot/LotView.h"

namespace fs = std::filesystem;

namespace {

// Ended lots' journals kept, the newest.
constexpr std::size_t KEPT_JOURNALS = 10;
constexpr std::size_t KEPT_STATION_ALARMS = 50;

}  // namespace

LotController::State::State(LotOptions options, ProjectCatalog& catalog, StationSession& session,
                            EventLog& log, std::function<bool(const std::string&)> send)
    : options(std::move(options)),
      paths{this->options.datalogDir, this->options.lotFile},
      catalog(catalog),
      session(session),
      log(log),
      sendToHandler(std::move(send)),
      runner(session, this->options.passTimeout,
             lot::TouchdownRunner::Hooks{[this] { return reload(); },
                                         [this] {
                                           std::lock_guard<std::mutex> lock(mutex);
                                           return stopping || book.held(lot::Hold::program);
                                         },
                                         [this](const std::string& text) { alarm(text); }}) {}

void LotController::State::recordLocked(const lot::Record& record) {
  std::string error;
  if (journal.isOpen() && !journal.append(lot::recordJson(record), error) && !journalFailing) {
    journalFailing = true;
    alarmLocked("the lot's journal can't be written (" + error +
                "): a restart would not find the lot as it is now");
  }
  if (!book.apply(record, error)) log.append(LogLine::Kind::station, "lot: " + error);
  if (options.onRecord) options.onRecord(record, book, handlerState());
}

void LotController::State::record(const lot::Record& record, bool durable) {
  std::lock_guard<std::mutex> lock(mutex);
  recordLocked(record);
  if (durable) syncJournal();
}

void LotController::State::syncJournal() {
  std::string error;
  if (journal.isOpen() && !journal.sync(error) && !journalFailing) {
    journalFailing = true;
    alarmLocked("the lot's journal can't be made durable (" + error +
                "): a crash of the computer could lose what the lot did since");
  }
}

void LotController::State::alarmLocked(const std::string& text) {
  log.append(LogLine::Kind::station, "alarm: " + text);
  if (book.phase() == lot::Phase::idle) {
    stationAlarms.push_back(lot::Alarm{lot::localTime(), text});
    if (options.onRecord) options.onRecord(stationAlarms.back(), book, handlerState());
    if (stationAlarms.size() > KEPT_STATION_ALARMS) stationAlarms.erase(stationAlarms.begin());
  } else {
    recordLocked(lot::Alarm{lot::localTime(), text});
  }
}

void LotController::State::alarm(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    alarmLocked(text);
  }
  log.touch();
}

void LotController::State::note(const std::string& text) {
  log.append(LogLine::Kind::station, "lot: " + text);
}

bool LotController::State::send(const std::string& line) {
  log.append(LogLine::Kind::station, "handler < " + line);
  return sendToHandler(line);
}

std::string LotController::State::handlerState() const {
  if (!options.handlerConfigured) return "none";
  if (!handlerConnected) return "disconnected";
  if (book.held(lot::Hold::handlerAlarm)) return "alarm";
  if (!inProgress.empty()) return "testing";
  if (book.phase() == lot::Phase::running && book.paused()) return "paused";
  if (book.phase() != lot::Phase::running && heldSot) return "SOT held until a lot starts";
  return "waiting for SOT";
}

std::string LotController::State::putJournalAway(const std::string& why) {
  journal.close();
  std::error_code error;
  const fs::path from = paths.journal();
  if (!fs::exists(from, error)) return "";
  fs::path to;
  if (why == "ended") {
    const fs::path folder = paths.endedJournals();
    fs::create_directories(folder, error);
    std::string name = book.lot().request.lotId + "_" + lot::fileTime();
    for (char& c : name) {
      if (c == '/' || c == '\\' || c == ':' || static_cast<unsigned char>(c) < 32) c = '_';
    }
    to = folder / (name + ".jsonl");
    std::vector<fs::path> kept;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, error)) {
      kept.push_back(entry.path());
    }
    // Names start with the lot; their times order them within it. The oldest by time go.
    std::sort(kept.begin(), kept.end(), [](const fs::path& a, const fs::path& b) {
      std::error_code ignored;
      return fs::last_write_time(a, ignored) < fs::last_write_time(b, ignored);
    });
    for (std::size_t i = 0; i + KEPT_JOURNALS <= kept.size(); ++i) fs::remove(kept[i], error);
  } else {
    to = paths.work() / ("journal." + why + "-" + lot::fileTime() + ".jsonl");
  }
  fs::rename(from, to, error);
  station_platform::syncFolder(paths.work());
  return error ? from.u8string() : to.u8string();
}

LotController::LotController(LotOptions options, ProjectCatalog& catalog, StationSession& session,
                             EventLog& log, std::function<bool(const std::string&)> send)
    : state_(std::make_unique<State>(std::move(options), catalog, session, log, std::move(send))) {
  thread_ = std::thread(&LotController::loop, this);
}

LotController::~LotController() {
  stop();
  thread_.join();
}

void LotController::post(Event event, bool first) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (first) {
      state_->events.push_front(std::move(event));
    } else {
      state_->events.push_back(std::move(event));
    }
  }
  state_->wake.notify_all();
}

LotAnswer LotController::ask(Event event) {
  event.answer = std::make_shared<std::promise<LotAnswer>>();
  std::future<LotAnswer> answer = event.answer->get_future();
  post(std::move(event));
  return answer.get();
}

void LotController::loop() {
  State& s = *state_;
  for (;;) {
    Event event;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      // While a touchdown is held, only the operator's requests and the lot's own go ahead of it.
      const auto urgent = [&] {
        return std::find_if(s.events.begin(), s.events.end(),
                            [](const Event& e) { return e.kind != Event::Kind::sot; });
      };
      s.wake.wait(lock, [&] {
        return s.stopping ||
               (s.heldSot ? s.testing() || urgent() != s.events.end() : !s.events.empty());
      });
      if (s.stopping) break;
      if (s.heldSot && s.testing()) {
        event = std::move(*s.heldSot);
        s.heldSot.reset();
      } else if (s.heldSot) {
        const auto found = urgent();
        event = std::move(*found);
        s.events.erase(found);
      } else {
        event = std::move(s.events.front());
        s.events.pop_front();
        // A touchdown waits while the lot is paused; what comes behind it waits too.
        if (event.kind == Event::Kind::sot && !s.testing()) {
          s.heldSot = std::move(event);
          s.log.touch();
          continue;
        }
      }
    }
    switch (event.kind) {
      case Event::Kind::start:
        event.answer->set_value(s.startLot(event.request, event.text));
        break;
      case Event::Kind::sot:
        s.touchdown(event);
        break;
      case Event::Kind::wafer:
        s.switchWaferFile(event.text);
        break;
      case Event::Kind::end:
        s.endLot(event.text);
        if (event.answer) event.answer->set_value(LotAnswer{200, "the lot has ended"});
        break;
      case Event::Kind::restart:
        s.restartLot();
        break;
      case Event::Kind::finish:
        s.finishEnd();
        break;
      case Event::Kind::release:
        event.answer->set_value(s.release(event.text));
        break;
      case Event::Kind::screen:
        s.screenLot(event.text);
        break;
    }
  }
  // Requests still waiting get an answer.
  std::lock_guard<std::mutex> lock(s.mutex);
  for (Event& event : s.events) {
    if (event.answer) event.answer->set_value(LotAnswer{503, "the station is stopping"});
  }
  s.events.clear();
}

LotAnswer LotController::start(const LotRequest& request, const std::string& actor) {
  Event event;
  event.kind = Event::Kind::start;
  event.request = request;
  event.text = actor;
  return ask(std::move(event));
}

LotAnswer LotController::end(const std::string& actor) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.book.phase() != lot::Phase::running) return {409, "no lot is running"};
  }
  s.record(lot::EndAsked{"ended by the operator", actor, lot::localTime()}, true);
  Event event;
  event.kind = Event::Kind::end;
  event.text = "ended by the operator";
  return ask(std::move(event));
}

LotAnswer LotController::pause(const std::string& actor) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.book.phase() != lot::Phase::running) return {409, "no lot is running"};
    if (s.book.held(lot::Hold::operatorPause)) return {200, "the lot is paused already"};
    const bool told = s.handlerHeld();
    s.recordLocked(
        lot::Paused{lot::Hold::operatorPause, "paused by the operator", actor, lot::localTime()});
    s.syncJournal();
    if (told) return {200, "the lot is paused"};
  }
  s.send(handler::PAUSE_LINE);
  s.note("paused by the operator");
  s.log.touch();
  return {200, "the lot is paused"};
}

LotAnswer LotController::resume(const std::string& actor) {
  State& s = *state_;
  bool release = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.book.phase() != lot::Phase::running) return {409, "no lot is running"};
    const bool alarm = s.book.held(lot::Hold::handlerAlarm);
    if (s.book.held(lot::Hold::program)) {
      // The lot's thread checks the program, and loads it.
      release = true;
    } else if (s.handlerHeld()) {
      s.recordLocked(lot::Resumed{lot::Hold::operatorPause, actor, lot::localTime()});
      s.syncJournal();
    } else if (alarm && s.alarmFromBefore) {
      // Its READY may have come while the station was down.
      s.alarmFromBefore = false;
      s.recordLocked(lot::Resumed{lot::Hold::handlerAlarm, actor, lot::localTime()});
      s.syncJournal();
      s.wake.notify_all();
      s.log.touch();
      return {200, "the handler's alarm from before the restart is cleared; the lot goes on"};
    } else {
      return {alarm ? 409 : 200, alarm
                                     ? "the handler's alarm is still on: it resumes with its READY"
                                     : "the lot is not paused"};
    }
  }
  if (release) {
    Event event;
    event.kind = Event::Kind::release;
    event.text = actor;
    return ask(std::move(event));
  }
  s.send(handler::RESUME_LINE);
  s.note("resumed by the operator");
  s.wake.notify_all();
  s.log.touch();
  return {200, "the lot goes on"};
}

LotAnswer LotController::clearAlarms(const std::string& actor) {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.book.phase() == lot::Phase::idle) {
      s.stationAlarms.clear();
      s.log.touch();
      return {200, "the alarms are cleared"};
    }
    s.stationAlarms.clear();
  }
  s.record(lot::AlarmsCleared{actor, lot::localTime()}, true);
  s.log.touch();
  return {200, "the alarms are cleared"};
}

void LotController::stop() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
}

bool LotController::active() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->book.phase() == lot::Phase::running || state_->finishing;
}

bool LotController::resumed() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->resumedLot;
}

std::string LotController::json() const {
  const State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  lot::LiveState live;
  live.handlerConfigured = s.options.handlerConfigured;
  live.handlerConnected = s.handlerConnected;
  live.handlerState = s.handlerState();
  live.testing = s.inProgress;
  live.reportPath = s.reportPath;
  live.stationAlarms = s.stationAlarms;
  live.pat = s.pat ? &*s.pat : nullptr;
  live.patWhen = s.patWhen;
  return lot::lotJson(s.book, live);
}

std::string LotController::waferJson(const std::string& id, std::size_t from) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return lot::waferJson(state_->book, id, from);
}

std::string LotController::reportPath() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->reportPath;
}

std::vector<double> LotController::stationWork() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->work.begin(), state_->work.end()};
}

std::vector<double> LotController::syncWork() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->syncs.begin(), state_->syncs.end()};
}

void LotController::handlerConnection(bool connected, const std::string& what) {
  State& s = *state_;
  bool holdIt = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.handlerConnected = connected;
    holdIt = connected && s.book.phase() == lot::Phase::running && s.handlerHeld();
    if (s.options.onStatus) s.options.onStatus(s.book, s.handlerState());
  }
  s.log.append(LogLine::Kind::station, what);
  // A handler that connects again hears again that the lot is paused.
  if (holdIt) s.send(handler::PAUSE_LINE);
  s.log.touch();
}
