#include "station/gem/StationGem.h"

#include <algorithm>

#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/access/AuditTrail.h"
#include "station/access/Releases.h"
#include "station/lot/LotController.h"

namespace {

gem::StationStatus statusOf(const lot::LotBook& book, const std::string& handlerState) {
  gem::StationStatus s;
  s.lotActive = book.phase() == lot::Phase::running;
  s.paused = s.lotActive && book.paused();
  s.handlerState = handlerState;
  if (book.phase() == lot::Phase::idle) return s;
  const LotRequest& request = book.lot().request;
  s.lotId = request.lotId;
  s.sublotId = request.sublotId;
  s.operatorId = request.operatorName;
  s.productId = request.partType;
  s.program = !request.release.empty() ? request.release + "@" + request.revision
                                       : book.lot().project + "/" + book.lot().flow;
  s.siteCount = static_cast<long>(book.lot().devices.size());
  s.parts = book.figures().parts() - book.figures().retests();
  s.good = book.figures().good();
  for (const auto& [bin, count] : book.figures().hardBins()) {
    s.hardBins.emplace_back(static_cast<std::uint32_t>(bin), count);
  }
  for (const auto& [bin, count] : book.figures().softBins()) {
    if (bin > 0) s.softBins.emplace_back(static_cast<std::uint32_t>(bin), count);
  }
  if (const lot::Wafer* wafer = book.wafers().current()) s.waferId = wafer->id;
  return s;
}

// Which of the station's alarms a lot alarm's words are.
std::uint32_t alarmOf(const std::string& text) {
  const auto starts = [&text](const char* prefix) { return text.rfind(prefix, 0) == 0; };
  const auto has = [&text](const char* words) { return text.find(words) != std::string::npos; };
  if (starts("handler: ")) return gem::AL_HANDLER;
  if (starts("yield guard tripped")) {
    if (has("in a row")) return gem::AL_SITE_FAILS_IN_ROW;
    if (has("the yield of site")) return gem::AL_SITE_YIELD;
    return gem::AL_LOT_YIELD;
  }
  if (starts("the handler sent a")) return gem::AL_HANDLER_LINE;
  if (starts("the touchdown's run failed") || starts("the touchdown's pass did not end") ||
      starts("the driver could not be started")) {
    return gem::AL_DRIVER;
  }
  return gem::AL_STATION;
}

}  // namespace

std::vector<gem::StationEvent> gemEventsOf(const lot::Record& record, const lot::LotBook& book,
                                           const std::string& handlerState) {
  using Kind = gem::StationEvent::Kind;
  gem::StationEvent base;
  base.status = statusOf(book, handlerState);
  std::vector<gem::StationEvent> out;
  const auto add = [&](Kind kind) {
    out.push_back(base);
    out.back().kind = kind;
    return &out.back();
  };
  const auto clear = [&](std::uint32_t alid) { add(Kind::alarmCleared)->alarm = alid; };
  if (std::holds_alternative<lot::Started>(record)) {
    add(Kind::lotStarted);
  } else if (std::holds_alternative<lot::Paused>(record)) {
    add(Kind::lotPaused);
  } else if (const auto* resumed = std::get_if<lot::Resumed>(&record)) {
    if (resumed->hold == lot::Hold::handlerAlarm) {
      clear(gem::AL_HANDLER);
    } else {
      for (const auto alid : {gem::AL_SITE_FAILS_IN_ROW, gem::AL_SITE_YIELD, gem::AL_LOT_YIELD}) {
        clear(alid);
      }
    }
    add(Kind::lotResumed);
  } else if (std::holds_alternative<lot::AlarmsCleared>(record)) {
    for (const auto alid : {gem::AL_DRIVER, gem::AL_HANDLER_LINE, gem::AL_STATION}) clear(alid);
  } else if (const auto* alarm = std::get_if<lot::Alarm>(&record)) {
    gem::StationEvent* set = add(Kind::alarmSet);
    set->alarm = alarmOf(alarm->text);
    set->alarmText = alarm->text;
  } else if (const auto* wafer = std::get_if<lot::WaferStarted>(&record)) {
    add(Kind::waferStarted)->status.waferId = wafer->id;
  } else if (std::holds_alternative<lot::WaferEnded>(record)) {
    add(Kind::waferEnded);
  } else if (std::holds_alternative<lot::BinSent>(record)) {
    gem::StationEvent* done = add(Kind::touchdownDone);
    const lot::LastTouchdown& last = book.last();
    done->touchdown = last.binned.number;
    for (const lot::SitePart& part : last.taken.sites) {
      done->sites.push_back(part.site);
      done->partIds.push_back(std::to_string(part.partId));
    }
    for (const lot::PartBin& bin : last.binned.parts) done->bins.push_back(bin.hardBin);
  } else if (std::holds_alternative<lot::Restarted>(record)) {
    add(Kind::lotResumedAfterRestart);
  } else if (std::holds_alternative<lot::Ended>(record)) {
    add(Kind::lotEnded);
  }
  if (out.empty()) add(Kind::status);
  return out;
}

gem::StationEvent gemStatusOf(const lot::LotBook& book, const std::string& handlerState) {
  gem::StationEvent event;
  event.status = statusOf(book, handlerState);
  return event;
}

std::optional<gem::StationEvent> gemDeliveryEvent(const std::string& line) {
  gem::StationEvent event;
  event.withStatus = false;
  event.alarm = gem::AL_DELIVERY;
  event.alarmText = line;
  if (line.rfind("cannot deliver", 0) == 0) {
    event.kind = gem::StationEvent::Kind::alarmSet;
  } else if (line.rfind("delivered ", 0) == 0) {
    event.kind = gem::StationEvent::Kind::alarmCleared;
  } else {
    return std::nullopt;
  }
  return event;
}

std::optional<gem::Control> parseControl(const std::string& text) {
  if (text == "offline") return gem::Control::EQUIPMENT_OFFLINE;
  if (text == "local") return gem::Control::ONLINE_LOCAL;
  if (text == "remote") return gem::Control::ONLINE_REMOTE;
  return std::nullopt;
}

std::unique_ptr<gem::GemEquipment> makeStationGem(gem::GemOptions options, StationGemParts parts) {
  gem::StationActions actions;
  actions.programs = [parts] {
    std::vector<std::string> out;
    if (parts.releases) {
      for (const Release& release : parts.releases->list()) {
        out.push_back(release.name + "@" + release.revision);
      }
    }
    if (!parts.releasedOnly && parts.catalog) {
      for (const ProjectEntry& project : parts.catalog->list()) {
        for (const std::string& flow : project.flows) out.push_back(project.name + "/" + flow);
      }
    }
    return out;
  };
  const auto lotAnswer = [](const LotAnswer& answer) {
    return gem::CommandAnswer{answer.status == 200, answer.message};
  };
  const auto* lot = parts.lot;
  const auto waitReady = parts.waitReady;
  actions.startLot = [lot, lotAnswer, waitReady](const LotRequest& request) {
    if (!lot->get()) return gem::CommandAnswer{false, "the station runs no lots (no --handler)"};
    // A host may start a lot while the station is still starting its driver.
    if (waitReady && !waitReady(std::chrono::seconds(30))) {
      return gem::CommandAnswer{false, "the driver is not ready"};
    }
    return lotAnswer((*lot)->start(request, GEM_HOST_ACCOUNT));
  };
  actions.pauseLot = [lot, lotAnswer] {
    if (!lot->get()) return gem::CommandAnswer{false, "no lot"};
    return lotAnswer((*lot)->pause(GEM_HOST_ACCOUNT));
  };
  actions.resumeLot = [lot, lotAnswer] {
    if (!lot->get()) return gem::CommandAnswer{false, "no lot"};
    return lotAnswer((*lot)->resume(GEM_HOST_ACCOUNT));
  };
  actions.endLot = [lot, lotAnswer] {
    if (!lot->get()) return gem::CommandAnswer{false, "no lot"};
    return lotAnswer((*lot)->end(GEM_HOST_ACCOUNT));
  };
  AuditTrail* audit = parts.audit;
  actions.audit = [audit](const std::string& what) {
    if (audit) audit->append(AuditEntry{GEM_HOST_ACCOUNT, "host", "", what, "done"});
  };
  EventLog* log = parts.log;
  actions.note = [log](const std::string& line) {
    if (!log) return;
    log->append(LogLine::Kind::station, line);
    log->touch();
  };
  actions.showText = [log](int terminal, const std::string& text) {
    if (!log) return;
    log->append(LogLine::Kind::station,
                "gem: the host says (terminal " + std::to_string(terminal) + "): " + text);
    log->touch();
  };
  actions.changed = [log] {
    if (log) log->touch();
  };
  return std::make_unique<gem::GemEquipment>(std::move(options), std::move(actions));
}
