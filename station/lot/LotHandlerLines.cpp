// What the handler may send when (docs/handler.md), on the handler link's thread: a refused line
// gets ERROR and an alarm and changes nothing; a SOT goes to the lot's thread to be tested; the
// lines that change the lot (EOL, ALARM, READY, WAFER, EOW) are recorded in the journal as they
// come, since the handler doesn't send them again after a restart.
#include "station/EventLog.h"
#include "station/lot/LotController.h"
#include "station/lot/LotState.h"

namespace {

std::string binLineOf(const lot::TouchdownBinned& binned) {
  std::vector<std::pair<int, int>> bins;
  for (const lot::PartBin& part : binned.parts) bins.emplace_back(part.site, part.category);
  return handler::binLine(bins);
}

}  // namespace

bool sameTouchdown(const std::vector<lot::SitePart>& taken,
                   const std::vector<handler::SiteEntry>& sot) {
  if (taken.size() != sot.size()) return false;
  for (std::size_t i = 0; i < sot.size(); ++i) {
    if (taken[i].site != sot[i].site || taken[i].die.has_value() != sot[i].die.has_value() ||
        (sot[i].die && !(*taken[i].die == *sot[i].die))) {
      return false;
    }
  }
  return true;
}

void LotController::State::takeSot(const handler::HandlerMessage& message, LineOutcome& taken) {
  const lot::LastTouchdown& last = book.last();
  // A SOT before the lot has started waits for it.
  if (touchdownOpen) {
    taken.error = "a SOT before the BIN of the one before";
  } else if (message.sites.front().die && !handlerOnWafer) {
    taken.error = "a die position outside a wafer";
  } else if (!message.sites.front().die && handlerOnWafer) {
    taken.error = "a touchdown on a wafer without its dies' X,Y";
  } else if (book.phase() == lot::Phase::running &&
             last.stage == lot::LastTouchdown::Stage::unsent &&
             sameTouchdown(last.taken.sites, message.sites)) {
    // Tested, but its BIN couldn't be sent: the same parts get it now, untested again.
    taken.resend = binLineOf(last.binned);
    taken.resentTouchdown = last.taken.number;
  } else {
    touchdownOpen = true;
    Event event;
    event.kind = Event::Kind::sot;
    event.sites = message.sites;
    event.at = LotClock::now();
    events.push_back(std::move(event));
    wake.notify_all();
  }
}

void LotController::State::takeEol(LineOutcome& taken) {
  if (book.phase() != lot::Phase::running) {
    taken.error = "no lot is running";
  } else if (!book.endAsked().empty()) {
    taken.error = "the lot is ending already";
  } else {
    const std::string why = "end of lot from the handler";
    recordLocked(lot::EndAsked{why, "handler", lot::localTime()});
    syncJournal();
    Event event;
    event.kind = Event::Kind::end;
    event.text = why;
    events.push_back(std::move(event));
    wake.notify_all();
  }
}

void LotController::State::takeAlarm(bool on) {
  if (book.phase() != lot::Phase::running || (!on && !book.held(lot::Hold::handlerAlarm))) return;
  alarmFromBefore = false;
  if (on) {
    recordLocked(
        lot::Paused{lot::Hold::handlerAlarm, "the handler's alarm", "handler", lot::localTime()});
  } else {
    recordLocked(lot::Resumed{lot::Hold::handlerAlarm, "handler", lot::localTime()});
    wake.notify_all();
  }
  syncJournal();
}

void LotController::State::takeWafer(const handler::HandlerMessage& message, LineOutcome& taken) {
  const bool starts = message.kind == handler::HandlerMessage::Kind::wafer;
  if (starts == handlerOnWafer) {
    taken.error = starts ? "a WAFER before the EOW of the wafer before" : "an EOW outside a wafer";
    return;
  }
  if (touchdownOpen) {
    taken.error = "a " + std::string(starts ? "WAFER" : "EOW") + " before the BIN of the SOT";
    return;
  }
  handlerOnWafer = starts;
  if (book.phase() != lot::Phase::running) {
    // A prober that starts its wafer before the lot has started: the lot begins with it.
    earlyWafer = starts ? std::optional<std::string>(message.text) : std::nullopt;
  } else if (starts) {
    recordLocked(lot::WaferStarted{message.text});
    syncJournal();
    taken.note = "wafer " + message.text + " started";
    if (book.lot().request.filePerWafer) {
      Event event;
      event.kind = Event::Kind::wafer;
      event.text = message.text;
      events.push_back(std::move(event));
      wake.notify_all();
    }
  } else {
    if (const lot::Wafer* wafer = book.wafers().current()) {
      char yield[32];
      std::snprintf(yield, sizeof yield, "%.1f",
                    lot::LotFigures::percent(wafer->good, static_cast<long>(wafer->dies.size())));
      taken.note = "wafer " + wafer->id + " ended: " + std::to_string(wafer->dies.size()) +
                   " dies, " + std::to_string(wafer->good) + " good (" + yield + " %), " +
                   std::to_string(wafer->retests) + " retests";
    }
    const std::string ended = book.wafers().current() ? book.wafers().current()->id : "";
    recordLocked(lot::WaferEnded{});
    syncJournal();
    if (book.lot().request.pat) {
      // Screened by the lot's worker, between touchdowns.
      Event event;
      event.kind = Event::Kind::screen;
      event.text = "after wafer " + ended;
      events.push_back(std::move(event));
      wake.notify_all();
    }
  }
}

void LotController::handlerLine(const std::string& line, bool overlong) {
  State& s = *state_;
  s.log.append(LogLine::Kind::station,
               "handler > " + line.substr(0, 200) + (overlong ? "..." : ""));
  handler::HandlerMessage message;
  LineOutcome taken;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const bool running = s.book.phase() == lot::Phase::running;
    const int siteCount = running ? static_cast<int>(s.book.lot().devices.size()) : 255;
    using Kind = handler::HandlerMessage::Kind;
    if (overlong) {
      taken.error = "a line longer than " + std::to_string(handler::MAX_LINE) + " bytes";
    } else if (!handler::parseHandlerLine(line, siteCount, message, taken.error)) {
      // refused as it stands
    } else if (message.kind == Kind::sot) {
      s.takeSot(message, taken);
    } else if (message.kind == Kind::eol) {
      s.takeEol(taken);
    } else if (message.kind == Kind::alarm || message.kind == Kind::ready) {
      s.takeAlarm(message.kind == Kind::alarm);
    } else {
      s.takeWafer(message, taken);
    }
  }
  if (!taken.error.empty()) {
    s.send(handler::errorLine(taken.error));
    s.alarm("the handler sent a line the station refused (" + taken.error +
            "): " + line.substr(0, 200));
    return;
  }
  if (!taken.note.empty()) s.note(taken.note);
  if (message.kind == handler::HandlerMessage::Kind::eol) s.auditLot("handler", "ended (EOL)");
  if (!taken.resend.empty()) {
    s.note("the handler asked again for the parts of the last touchdown; they were tested");
    const bool sent = s.send(taken.resend);
    s.record(lot::BinSent{taken.resentTouchdown, sent}, false);
  } else if (message.kind == handler::HandlerMessage::Kind::alarm) {
    const std::string text = message.text.empty() ? std::string("alarm") : message.text;
    bool running = false;
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      running = s.book.phase() == lot::Phase::running;
    }
    s.alarm("handler: " + text + (running ? "; the lot is paused until the handler is READY" : ""));
    if (running) s.auditLot("handler", "paused by the handler's alarm: " + text);
  } else if (message.kind == handler::HandlerMessage::Kind::ready) {
    s.note("the handler is ready again");
  }
  s.log.touch();
}
