// A touchdown from its SOT to its BIN, on the lot's thread. Write-ahead: the SOT is recorded as
// taken before its pass runs; the pass's datalog and the bins' record are on the disk before
// the BIN goes out. After a restart, the journal and the datalog say which parts the SOT that
// comes holds: the same parts as a touchdown taken before (tested again, or answered from its
// pass when that is in the datalog whole), or new ones.
#include <algorithm>
#include <cstdio>

#include "station/CrashPoints.h"
#include "station/EventLog.h"
#include "station/Platform.h"
#include "station/lot/LotState.h"

namespace fs = std::filesystem;

namespace {

// The bin of a part the pass logged nothing for: libdatalog's bin of an incomplete part.
constexpr int INCOMPLETE_BIN = 99;
// Figures of the station's own work, over the newest touchdowns.
constexpr std::size_t KEPT_WORK = 1000;

double micros(LotClock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

// What a touchdown tests, decided from the journal's last touchdown and the datalog.
struct Plan {
  long number = 0;
  std::vector<lot::SitePart> sites;                   // in the SOT's order
  std::optional<std::vector<lot::PartBin>> answered;  // from a pass logged before a restart
};

// Under the lock.
Plan planTouchdown(LotController::State& s, const std::vector<handler::SiteEntry>& sot) {
  using Stage = lot::LastTouchdown::Stage;
  const lot::LastTouchdown& last = s.book.last();
  const bool same = last.stage != Stage::none && sameTouchdown(last.taken.sites, sot);
  // A touchdown taken but not binned before a restart: its SOT again means the same parts. One
  // binned whose BIN may not have reached the handler: the same SOT again may be those parts or
  // new ones in the same sites; they are tested and logged as retests of the same parts, so
  // that each part counts once with the bin the handler got last.
  const bool again = same && (last.stage == Stage::taken || last.stage == Stage::binned);
  if (last.stage == Stage::taken && !same) {
    s.alarmLocked("touchdown " + std::to_string(last.taken.number) +
                  " was being tested when the station stopped, and the handler did not ask for "
                  "it again: its parts got no BIN");
  } else if (last.stage == Stage::binned && !same) {
    // The handler went on to other parts, so it had that BIN.
    s.recordLocked(lot::BinSent{last.taken.number, true});
  }
  Plan plan;
  plan.number = again && last.stage == Stage::taken ? last.taken.number : last.taken.number + 1;
  std::uint64_t next = s.book.nextPartId();
  bool whole = again && last.stage == Stage::taken;
  for (std::size_t i = 0; i < sot.size(); ++i) {
    lot::SitePart part;
    part.site = sot[i].site;
    part.die = sot[i].die;
    part.partId = again ? last.taken.sites[i].partId : next++;
    const auto logged = s.unanswered.find(part.partId);
    const bool inDatalog = logged != s.unanswered.end();
    whole = whole && inDatalog && logged->second.site == part.site;
    part.retest = inDatalog || (again && last.stage == Stage::binned) ||
                  (part.die && s.book.wafers().tested(part.die->x, part.die->y));
    plan.sites.push_back(part);
  }
  if (whole) {
    std::vector<lot::PartBin> bins;
    for (const lot::SitePart& part : plan.sites) {
      const UnansweredPart& logged = s.unanswered.at(part.partId);
      bins.push_back({part.site, logged.hardBin, logged.passed,
                      handlerCategory(s.book.lot().request, logged.hardBin), logged.softBin});
    }
    plan.answered = std::move(bins);
  }
  for (const lot::SitePart& part : plan.sites) s.unanswered.erase(part.partId);
  return plan;
}

}  // namespace

void LotController::State::touchdown(const Event& event) {
  TouchdownPass pass;
  pass.sot = event.sites;
  pass.timing.runAt = pass.timing.passEnded = LotClock::now();
  std::vector<handler::SiteEntry> ordered = event.sites;
  std::sort(
      ordered.begin(), ordered.end(),
      [](const handler::SiteEntry& a, const handler::SiteEntry& b) { return a.site < b.site; });
  Plan plan;
  {
    std::unique_lock<std::mutex> lock(mutex);
    // A SOT that came before the lot is checked against the lot's sites now.
    const std::size_t siteCount = book.lot().devices.size();
    if (static_cast<std::size_t>(ordered.back().site) > siteCount) {
      touchdownOpen = false;
      lock.unlock();
      const std::string why = "site " + std::to_string(ordered.back().site) +
                              " is out of range (the lot has " + std::to_string(siteCount) +
                              " sites)";
      send(handler::errorLine(why));
      alarm("the handler sent a touchdown the station refused (" + why + ")");
      return;
    }
    plan = planTouchdown(*this, event.sites);
    if (!plan.answered) recordLocked(lot::TouchdownTaken{plan.number, plan.sites});
    inProgress = ordered;
    for (const handler::SiteEntry& entry : ordered) {
      pass.sites.push_back(entry.site);
      pass.devices.push_back(book.lot().devices[static_cast<std::size_t>(entry.site - 1)]);
      pass.bySite.push_back(
          *std::find_if(plan.sites.begin(), plan.sites.end(),
                        [&](const lot::SitePart& p) { return p.site == entry.site; }));
    }
    const lot::Wafer* current = book.wafers().current();
    pass.wafer = current != nullptr ? current->id : "";
    pass.failstop = book.lot().failstop;
  }
  log.touch();
  std::optional<std::vector<lot::PartBin>> parts = plan.answered;
  if (parts) {
    note("touchdown " + std::to_string(plan.number) +
         " was logged before the restart: its bins are answered from the datalog");
  } else {
    parts = testTouchdown(pass);
  }
  // Without parts the station ends under the touchdown (the handler keeps them and asks again),
  // or the lot is held: the touchdown waits to be tested once the operator resumes the lot.
  if (parts) {
    answerTouchdown(event, plan.number, *parts, plan.answered.has_value(), pass.timing);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (!stopping && book.held(lot::Hold::program)) heldSot = event;
}

std::optional<std::vector<lot::PartBin>> LotController::State::testTouchdown(TouchdownPass& pass) {
  crashPoint("sot");
  if (!writePassSetting(paths, pass.failstop, pass.devices) ||
      !writeTouchdownFile(paths, pass.wafer, pass.bySite)) {
    alarm("cannot write the touchdown's files in " + paths.work().u8string());
  }
  pass.timing.runAt = LotClock::now();
  const lot::TouchdownRunner::Outcome outcome =
      runner.run(paths.passSetting().u8string(), pass.sites);
  pass.timing.passEnded = outcome.passEnded;
  if (outcome.abandoned) {
    std::lock_guard<std::mutex> lock(mutex);
    inProgress.clear();
    return std::nullopt;
  }
  if (!outcome.parts.empty()) {
    // The pass is on the disk before anyone hears of its bins.
    const LotClock::time_point before = LotClock::now();
    std::string error;
    if (!station_platform::syncFile(fs::u8path(runner.datalog()), error)) alarm(error);
    pass.timing.syncMicros += micros(LotClock::now() - before);
  }
  crashPoint("logged");
  std::vector<lot::PartBin> parts;
  for (const handler::SiteEntry& entry : pass.sot) {
    const auto found = outcome.parts.find(entry.site);
    lot::PartBin part{entry.site, INCOMPLETE_BIN, false, 0};
    if (found != outcome.parts.end()) {
      part.hardBin = found->second.hardBin;
      part.softBin = found->second.softBin;
      part.passed = found->second.passed;
    } else {
      alarm("site " + std::to_string(entry.site) + ": the pass logged no part; binned " +
            std::to_string(INCOMPLETE_BIN));
    }
    std::lock_guard<std::mutex> lock(mutex);
    part.category = handlerCategory(book.lot().request, part.hardBin);
    parts.push_back(part);
  }
  return parts;
}

void LotController::State::answerTouchdown(const Event& event, long number,
                                           const std::vector<lot::PartBin>& parts, bool fromDatalog,
                                           TouchdownTiming& timing) {
  const LotClock::time_point beforeSync = LotClock::now();
  record(lot::TouchdownBinned{number, parts, fromDatalog}, true);
  timing.syncMicros += micros(LotClock::now() - beforeSync);
  crashPoint("binned");
  std::vector<std::pair<int, int>> bins;
  for (const lot::PartBin& part : parts) bins.emplace_back(part.site, part.category);
  const std::string line = handler::binLine(bins);
  {
    // The handler may send its next SOT as soon as the BIN reaches it.
    std::lock_guard<std::mutex> lock(mutex);
    touchdownOpen = false;
    inProgress.clear();
  }
  const bool sent = sendToHandler(line);
  const LotClock::time_point binAt = LotClock::now();
  log.append(LogLine::Kind::station,
             "handler < " + line + (sent ? "" : " (not sent: no connection to the handler)"));
  bool tellHandler = false;
  std::string tripped;
  {
    std::lock_guard<std::mutex> lock(mutex);
    // The handler asks again for parts it got no BIN for, once it is connected again: they were
    // tested, and get the same bins without being tested twice.
    recordLocked(lot::BinSent{number, sent});
    book.figures().timed(event.at, binAt, event.sites.size());
    work.push_back(micros(timing.runAt - event.at) + micros(binAt - timing.passEnded));
    syncs.push_back(timing.syncMicros);
    if (work.size() > KEPT_WORK) work.pop_front();
    if (syncs.size() > KEPT_WORK) syncs.pop_front();
    tripped = book.guardTripped();
    if (!tripped.empty()) {
      tellHandler = !handlerHeld();
      recordLocked(lot::Paused{lot::Hold::guard, "guard: " + tripped, "station", lot::localTime()});
      alarmLocked("yield guard tripped: " + tripped + "; the lot is paused");
      syncJournal();
    }
  }
  crashPoint("sent");
  if (!tripped.empty()) auditLot("station", "paused by a yield guard: " + tripped);
  if (tellHandler) {
    send(handler::PAUSE_LINE);
    crashPoint("paused");
  }
}
