// A lot's beginning, end and resumption after a restart, on the lot's thread (restore() excepted,
// which runs before the handler's lines come): the journal is opened with the lot's first
// record and put away after its last; a station started again reads it back.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "crypto/Digest.h"
#include "station/CrashPoints.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationSession.h"
#include "station/access/AuditTrail.h"
#include "station/access/Releases.h"
#include "station/lot/LotState.h"
#include "stdf/Pat.h"
#include "stdf/StdfReader.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

// "lot L ended (why): P parts (R retests), G good (Y %)"
std::string endSummary(const lot::LotBook& book, const std::string& why) {
  const lot::LotFigures& f = book.figures();
  char yield[32];
  std::snprintf(yield, sizeof yield, "%.1f", f.yield());
  return "lot " + book.lot().request.lotId + " ended (" + why + "): " + std::to_string(f.parts()) +
         " parts" + (f.retests() > 0 ? " (" + std::to_string(f.retests()) + " retests)" : "") +
         ", " + std::to_string(f.good()) + " good (" + yield + " %)";
}

// The lot a journal records; false with error when it can't be read, or records no lot.
bool replay(const fs::path& journal, lot::LotBook& book, std::string& error) {
  const lot::JournalText text = lot::readJournal(journal);
  error = text.error;
  if (text.status != lot::JournalText::Status::ok) return false;
  for (std::size_t i = 0; i < text.records.size(); ++i) {
    lot::Record record;
    bool read = lot::parseRecord(text.records[i], record, error);
    if (read && i == 0 && !std::holds_alternative<lot::Started>(record)) {
      read = false;
      error = "it does not start with a lot";
    }
    if (!read || !book.apply(record, error)) {
      error = "record " + std::to_string(i + 1) + ": " + error;
      return false;
    }
  }
  if (book.phase() == lot::Phase::idle) {
    error = "it records no lot";
    return false;
  }
  return true;
}

std::optional<std::uint64_t> partNumber(std::string_view text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  return std::stoull(std::string(text));
}

}  // namespace

void LotController::State::auditLot(const std::string& who, const std::string& what) {
  if (options.audit == nullptr) return;
  std::string lotId;
  {
    std::lock_guard<std::mutex> lock(mutex);
    lotId = book.lot().request.lotId;
  }
  options.audit->append(AuditEntry{who, "", "", "lot " + lotId + ": " + what, "done"});
}

bool LotController::State::programUnchanged(std::string& changed) const {
  std::vector<lot::ProgramFile> program;
  {
    std::lock_guard<std::mutex> lock(mutex);
    program = book.lot().program;
  }
  for (const lot::ProgramFile& file : program) {
    std::string error;
    const std::string now = crypto::sha256File(fs::u8path(file.path), error);
    if (now != file.sha256) {
      changed = "the lot's " + file.role + " " + file.path +
                (now.empty() ? " can't be read" : " changed since the lot started");
      return false;
    }
  }
  return true;
}

LotAnswer LotController::State::describeLot(const LotRequest& lot, lot::Started& started) {
  if (!options.handlerConfigured) {
    return {409, "the station has no handler: start it with --handler HOST:PORT"};
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (book.phase() == lot::Phase::running) return {409, "a lot is running; end it first"};
  }
  const SessionState state = session.state();
  if (state.driver != SessionState::Driver::ready) return {409, "the driver is not ready"};
  if (!state.runs.empty()) return {409, "a run is going; stop it before starting a lot"};

  started.request = lot;
  started.project = lot.project;
  started.flow = lot.flow;
  if (!lot.release.empty()) {
    const LotAnswer released = describeRelease(lot, started);
    if (released.status != 200) return released;
  }
  fs::path library, flowPath, setting;
  std::string error;
  ProjectCatalog::Lookup found =
      catalog.resolveLoad(started.project, started.flow, library, flowPath, error);
  if (found == ProjectCatalog::Lookup::ok) {
    found = catalog.resolve(started.project, lot.setting, setting, error);
  }
  if (found != ProjectCatalog::Lookup::ok) {
    return {found == ProjectCatalog::Lookup::bad ? 400 : 404, error};
  }
  started.startedAt = lot::localTime();
  // The setting names the lot's devices (position i is site i + 1) and its fail-stop.
  try {
    std::ifstream in(setting);
    const Json document = Json::parse(in);
    started.failstop = document.at("executeSetting").at("failstop").get<bool>();
    started.devices = document.at("dutSetting").at("selectDUT").get<std::vector<std::string>>();
  } catch (const std::exception& failure) {
    return {422, "cannot read the lot's setting \"" + lot.setting + "\": " + failure.what()};
  }
  if (started.devices.empty() || started.devices.size() > 255) {
    return {422, "the lot's setting must name 1 to 255 devices, one per site"};
  }
  std::error_code failure;
  fs::create_directories(paths.work(), failure);
  for (const fs::path& path : {library, flowPath, paths.work()}) {
    if (path.u8string().find_first_of(" \t\n\v\f\r") != std::string::npos) {
      return {400, "the path \"" + path.u8string() +
                       "\" holds white space, which a driver command can't carry"};
    }
  }
  for (const auto& [role, path] : {std::pair<const char*, fs::path>{"library", library},
                                   {"flow", flowPath},
                                   {"setting", setting}}) {
    const std::string digest = crypto::sha256File(path, error);
    if (digest.empty()) return {422, "the lot's " + std::string(role) + ": " + error};
    started.program.push_back({role, fs::absolute(path).u8string(), digest});
  }
  if (lot.pat) {
    // The screening's files, from the project's folder, checked now and kept with the program.
    for (const auto& [role, name] :
         {std::pair{"pat-limits", &lot.patLimits}, std::pair{"pat-rules", &lot.patRules}}) {
      if (name->empty()) continue;
      fs::path path;
      const ProjectCatalog::Lookup located = catalog.resolve(started.project, *name, path, error);
      if (located != ProjectCatalog::Lookup::ok) {
        return {located == ProjectCatalog::Lookup::bad ? 400 : 404, error};
      }
      std::ifstream in(path, std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      stdf::PatLimitTable limits;
      stdf::PatRules rules;
      const bool read = role == std::string("pat-limits")
                            ? stdf::parsePatLimits(text, limits, error)
                            : stdf::parsePatRules(text, rules, error);
      if (!in || !read)
        return {422, "the lot's " + std::string(role) + " \"" + *name + "\": " + error};
      const std::string digest = crypto::sha256File(path, error);
      if (digest.empty()) return {422, "the lot's " + std::string(role) + ": " + error};
      started.program.push_back({role, fs::absolute(path).u8string(), digest});
    }
  }
  return {200, ""};
}

LotAnswer LotController::State::describeRelease(const LotRequest& lot, lot::Started& started) {
  if (options.releases == nullptr) {
    return {400, "this station has no released programs: name a project and flow"};
  }
  const std::optional<Release> release = options.releases->find(lot.release, lot.revision);
  if (!release) return {404, "there is no release " + lot.release + "@" + lot.revision};
  const auto& settings = release->settings;
  if (std::find(settings.begin(), settings.end(), lot.setting) == settings.end()) {
    return {400, "release " + lot.release + "@" + lot.revision + " has no setting " + lot.setting};
  }
  const std::vector<std::string> changes = releaseChanges(*release, catalog);
  if (!changes.empty()) {
    std::string changed = changes[0];
    for (std::size_t i = 1; i < changes.size(); ++i) changed += "; " + changes[i];
    alarm("lot " + lot.lotId + " refused: " + changed);
    return {409, changed + ": the lot is refused"};
  }
  started.project = release->project;
  started.flow = release->flow;
  return {200, ""};
}

LotAnswer LotController::State::startLot(const LotRequest& lot, const std::string& actor) {
  lot::Started started;
  started.by = actor;
  const LotAnswer described = describeLot(lot, started);
  if (described.status != 200) return described;
  std::string error;
  std::error_code failure;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (fs::exists(paths.journal(), failure)) putJournalAway("set-aside");
    if (!journal.open(paths.journal(), error)) {
      return {500, "cannot write the lot's journal: " + error};
    }
    journalFailing = false;
    resumedLot = false;
    reportPath.clear();
    pat.reset();
    patWhen.clear();
    stationAlarms.clear();
    inProgress.clear();
    unanswered.clear();
    recordLocked(started);
    syncJournal();
  }
  if (!loadIntoNewFile()) {
    fs::remove(paths.lotFile, failure);
    std::lock_guard<std::mutex> lock(mutex);
    journal.close();
    fs::remove(paths.journal(), failure);
    const std::vector<lot::Alarm> alarms = book.alarms();
    book = lot::LotBook();
    return {422, "the lot's project could not be loaded" +
                     (alarms.empty() ? std::string() : ": " + alarms.back().text)};
  }
  std::optional<std::string> early;
  std::string datalog;
  {
    std::lock_guard<std::mutex> lock(mutex);
    early = std::move(earlyWafer);
    earlyWafer.reset();
    datalog = book.datalogs().back();
  }
  note("lot " + lot.lotId + " started: " + std::to_string(started.devices.size()) +
       " sites, datalog " + datalog);
  if (early) {
    record(lot::WaferStarted{*early}, true);
    note("wafer " + *early + " started");
    if (lot.filePerWafer) switchWaferFile(*early);
  }
  log.touch();
  return {200, "lot " + lot.lotId + " started"};
}

bool LotController::State::loadIntoNewFile() {
  // Every load of the lot runs the program it started with, file for file.
  std::string changed;
  if (!programUnchanged(changed)) {
    holdProgram("because " + changed + ": put it back and resume the lot, or end the lot");
    return false;
  }
  lot::LotFileContent content;
  LotRequest request;
  std::string wafer, project, flow;
  {
    std::lock_guard<std::mutex> lock(mutex);
    request = book.lot().request;
    project = book.lot().project;
    flow = book.lot().flow;
    content.devices = book.lot().devices;
    content.program = book.lot().program;
    content.firstPartId = book.nextPartId();
    const lot::Wafer* current = book.wafers().current();
    if (request.filePerWafer && current != nullptr) wafer = current->id;
  }
  content.request = &request;
  content.nodeName = options.nodeName;
  // The audit trail as it stands, anchored in the datalog.
  if (options.audit != nullptr) content.auditHead = options.audit->head();
  content.datalog = lot::newDatalogPath(options.datalogDir, request, wafer).u8string();
  fs::path library, flowPath;
  std::string error;
  if (catalog.resolveLoad(project, flow, library, flowPath, error) != ProjectCatalog::Lookup::ok) {
    alarm("the lot's project: " + error);
    return false;
  }
  if (!lot::writeLotFile(paths, content)) {
    alarm("cannot write the lot file " + paths.lotFile.u8string());
    return false;
  }
  const CommandResult loaded = session.load(project, flow, library.u8string(), flowPath.u8string());
  if (loaded.outcome != CommandResult::Outcome::done) {
    alarm("the lot's project could not be loaded: " + loaded.message);
    return false;
  }
  record(lot::DatalogOpened{content.datalog, content.firstPartId}, true);
  runner.follow(content.datalog);
  std::lock_guard<std::mutex> lock(mutex);
  projectLoaded = true;
  return true;
}

bool LotController::State::reload() {
  alarm(
      "the driver ended during a touchdown; restarting it, loading the lot again and testing "
      "the touchdown again");
  {
    std::lock_guard<std::mutex> lock(mutex);
    projectLoaded = false;
  }
  if (!session.start() && session.state().driver == SessionState::Driver::ended) return false;
  if (!session.waitReady(options.readyTimeout) || !loadIntoNewFile()) return false;
  note("the lot goes on in " + runner.datalog());
  return true;
}

void LotController::State::switchWaferFile(const std::string& wafer) {
  // Each wafer in a file of its own: the project is loaded again with the wafer's file. A file
  // no part went into is not kept.
  bool loaded = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    loaded = projectLoaded;
    projectLoaded = false;
  }
  if (loaded) {
    const CommandResult unloaded = session.unload();
    if (unloaded.outcome != CommandResult::Outcome::done) {
      alarm("the unload before wafer " + wafer + " failed: " + unloaded.message);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (book.partsInDatalog() == 0 && !book.datalogs().empty()) {
      std::error_code error;
      const std::string empty = book.datalogs().back();
      fs::remove(fs::u8path(empty), error);
      recordLocked(lot::DatalogDropped{empty});
      syncJournal();
    }
  }
  if (!loadIntoNewFile()) {
    alarm("the project could not be loaded again for wafer " + wafer);
    return;
  }
  note("wafer " + wafer + " goes into " + runner.datalog());
}

void LotController::State::endLot(const std::string& why) {
  std::optional<Event> held;
  bool loaded = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (book.phase() != lot::Phase::running) return;
    held = std::move(heldSot);
    heldSot.reset();
    loaded = projectLoaded;
    projectLoaded = false;
  }
  if (held) {
    send(handler::errorLine("the lot ended before this touchdown was tested"));
    alarm("the lot ended with a touchdown not tested; its parts got no bin");
  }
  if (loaded) {
    const CommandResult unloaded = session.unload();
    if (unloaded.outcome != CommandResult::Outcome::done) {
      alarm("the unload at the end of the lot failed: " + unloaded.message);
    }
  }
  std::error_code error;
  fs::remove(options.lotFile, error);
  {
    std::lock_guard<std::mutex> lock(mutex);
    // A datalog the lot went on in after a restart or a reload that got no part.
    if (book.partsInDatalog() == 0 && book.datalogs().size() > 1) {
      const std::string empty = book.datalogs().back();
      fs::remove(fs::u8path(empty), error);
      recordLocked(lot::DatalogDropped{empty});
    }
    touchdownOpen = false;
    inProgress.clear();
    unanswered.clear();
    recordLocked(lot::Ended{why});
    syncJournal();
  }
  crashPoint("ended");
  finishEnd();
}

void LotController::State::finishEnd() {
  std::vector<std::string> files;
  std::string summary;
  std::vector<stdf::LotReportData::Action> actions;
  {
    std::lock_guard<std::mutex> lock(mutex);
    files = book.datalogs();
    summary = endSummary(book, book.endReason());
    for (const lot::LotAction& action : book.actions()) {
      actions.push_back({action.time, action.who, action.what});
    }
  }
  note(summary);
  log.touch();
  // The lot's report beside its first datalog, for the page and for delivery.
  std::string error;
  const std::string report = lot::writeReport(files, actions, error);
  if (!error.empty()) alarm(error);
  {
    std::lock_guard<std::mutex> lock(mutex);
    reportPath = report;
    putJournalAway("ended");
  }
  if (!report.empty()) {
    note("the lot's report: " + report);
    files.push_back(report);
  }
  for (const std::string& output : screenLot("at the lot's end")) files.push_back(output);
  log.touch();
  if (options.onEnded) options.onEnded(files, summary);
  std::lock_guard<std::mutex> lock(mutex);
  finishing = false;
}

std::vector<std::string> LotController::State::screenLot(const std::string& when) {
  std::vector<std::string> datalogs;
  std::string limits, rules;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!book.lot().request.pat) return {};
    datalogs = book.datalogs();
    for (const lot::ProgramFile& file : book.lot().program) {
      if (file.role == "pat-limits") limits = file.path;
      if (file.role == "pat-rules") rules = file.path;
    }
  }
  std::vector<std::string> whole;  // a datalog that got no part yet is not there
  for (const std::string& file : datalogs) {
    std::error_code missing;
    if (fs::exists(fs::u8path(file), missing)) whole.push_back(file);
  }
  if (whole.empty()) return {};
  fs::path folder = fs::u8path(whole.front());
  folder.replace_extension(".pat");
  std::ostringstream said, failed;
  stdf::PatApplyResult result;
  const int status = stdf::patApplyCommand(whole, limits, rules, folder.u8string(), said, failed,
                                           &result, folder.stem().u8string() + "_");
  if (status != 0) {
    std::string why = failed.str();
    while (!why.empty() && why.back() == '\n') why.pop_back();
    alarm("the lot's outlier screening " + when + " failed: " + why);
    return {};
  }
  long total = 0;
  for (const long n : result.outliers) total += n;
  note("outlier screening " + when + ": " + std::to_string(total) + " outliers among " +
       std::to_string(result.parts) + " good parts, in " + folder.u8string());
  std::vector<std::string> outputs = result.outputs;
  {
    std::lock_guard<std::mutex> lock(mutex);
    pat = std::move(result);
    patWhen = when;
  }
  log.touch();
  return outputs;
}

std::string LotController::restore() {
  State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  std::error_code failure;
  if (!fs::exists(s.paths.journal(), failure)) {
    // A lot file left behind names no lot: the driver's engineering loads must not read it.
    fs::remove(s.paths.lotFile, failure);
    return "";
  }
  lot::LotBook book;
  std::string error;
  const bool readable = replay(s.paths.journal(), book, error);
  if (!readable) {
    const std::string kept = s.putJournalAway("damaged");
    fs::remove(s.paths.lotFile, failure);
    s.alarmLocked("the lot journal can't be read (" + error + "): it is kept as " + kept +
                  ", and its lot is not resumed; its datalogs are as they were");
    return "the lot journal can't be read; kept as " + kept;
  }
  s.book = std::move(book);
  const std::string lotId = s.book.lot().request.lotId;
  if (s.book.phase() == lot::Phase::ended) {
    if (s.journal.open(s.paths.journal(), error)) {
      s.recordLocked(lot::Restarted{lot::localTime()});
      s.syncJournal();
    }
    Event event;
    event.kind = Event::Kind::finish;
    s.events.push_front(std::move(event));
    s.wake.notify_all();
    s.resumedLot = true;
    s.finishing = true;
    return "lot " + lotId + " had ended before the restart; finishing its end";
  }
  if (!s.options.resume) {
    const std::string kept = s.putJournalAway("not-resumed");
    fs::remove(s.paths.lotFile, failure);
    s.book = lot::LotBook();
    return "the unfinished lot " + lotId +
           " is not resumed (--no-resume); its journal is kept as " + kept;
  }
  if (!s.journal.open(s.paths.journal(), error)) {
    s.alarmLocked("the lot's journal can't be written (" + error +
                  "): a restart would not find the lot as it is now");
    s.journalFailing = true;
  }
  s.resumedLot = true;
  s.handlerOnWafer = s.book.wafers().onWafer();
  s.alarmFromBefore = s.book.held(lot::Hold::handlerAlarm);
  s.recordLocked(lot::Restarted{lot::localTime()});
  s.syncJournal();
  if (s.options.audit != nullptr) {
    s.options.audit->append(
        AuditEntry{"station", "", "", "lot " + lotId + ": resumed after a restart", "done"});
  }
  Event event;
  event.kind = Event::Kind::restart;
  s.events.push_front(std::move(event));
  s.wake.notify_all();
  const lot::LotFigures& figures = s.book.figures();
  return "lot " + lotId + " resumed after a restart: " + std::to_string(figures.parts()) +
         " parts so far" + (s.book.paused() ? "; paused (" + s.book.pauseReason() + ")" : "");
}

namespace {

// The parts in the datalog that no BIN answered: the touchdown taken when the station stopped,
// and any numbered past what the journal gave out.
std::map<std::uint64_t, UnansweredPart> unansweredParts(const lot::LotBook& book) {
  std::map<std::uint64_t, UnansweredPart> found;
  if (book.datalogs().empty()) return found;
  std::set<std::uint64_t> taken;
  if (book.last().stage == lot::LastTouchdown::Stage::taken) {
    for (const lot::SitePart& part : book.last().taken.sites) taken.insert(part.partId);
  }
  std::ifstream in(fs::u8path(book.datalogs().back()), std::ios::binary);
  stdf::StdfReader reader(in);
  for (stdf::Record record; reader.next(record);) {
    if (!record.is("PRR") || record.fields.size() <= stdf::field::PRR_PART_ID) continue;
    const std::optional<std::uint64_t> id = partNumber(record.textValue("PART_ID"));
    if (!id || (taken.count(*id) == 0 && *id < book.nextPartId())) continue;
    found[*id] = {static_cast<int>(record.unsignedValue("SITE_NUM")),
                  static_cast<int>(record.unsignedValue("HARD_BIN")),
                  (record.unsignedValue("PART_FLG") & stdf::flag::PART_NOT_GOOD) == 0,
                  static_cast<int>(record.unsignedValue("SOFT_BIN"))};
  }
  return found;
}

}  // namespace

void LotController::State::restartLot() {
  std::string endAsked;
  std::map<std::uint64_t, UnansweredPart> found;
  {
    std::lock_guard<std::mutex> lock(mutex);
    endAsked = book.endAsked();
    found = unansweredParts(book);
    unanswered = found;
  }
  if (!found.empty()) {
    note(std::to_string(found.size()) +
         " parts in the datalog got no BIN before the restart; tested again, they are logged as "
         "retests");
  }
  if (!endAsked.empty()) {
    endLot(endAsked);
    return;
  }
  std::string why;
  if (options.leftoverDriverRuns && options.leftoverDriverRuns()) {
    why =
        "a driver from before the restart still runs and could write the lot's datalog: end it, "
        "then resume the lot";
  } else if (!session.waitReady(options.readyTimeout)) {
    why = "the driver is not ready";
  } else if (!programUnchanged(why)) {
    why += ": put it back and resume the lot, or end the lot";
  } else if (!loadIntoNewFile()) {
    why = "the lot's project could not be loaded again";
  }
  if (why.empty()) {
    note("the lot goes on in " + runner.datalog());
    log.touch();
    return;
  }
  holdProgram("after the restart: " + why);
}

void LotController::State::holdProgram(const std::string& why) {
  bool tell = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (book.held(lot::Hold::program)) return;
    tell = !handlerHeld();
    recordLocked(lot::Paused{lot::Hold::program, why, "station", lot::localTime()});
    alarmLocked("the lot is held " + why);
    syncJournal();
  }
  if (tell) send(handler::PAUSE_LINE);
  auditLot("station", "held " + why);
  log.touch();
}

LotAnswer LotController::State::release(const std::string& actor) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (book.phase() != lot::Phase::running) return {409, "no lot is running"};
  }
  std::string why;
  if (options.leftoverDriverRuns && options.leftoverDriverRuns()) {
    return {409, "a driver from before the restart still runs; end it first"};
  }
  if (!programUnchanged(why)) return {409, why};
  bool loaded = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    loaded = projectLoaded;
  }
  if (!loaded && (!session.waitReady(options.readyTimeout) || !loadIntoNewFile())) {
    return {409, "the lot's project could not be loaded; see the alarms"};
  }
  record(lot::Resumed{lot::Hold::operatorPause, actor, lot::localTime()}, true);
  send(handler::RESUME_LINE);
  note("resumed by the operator");
  wake.notify_all();
  log.touch();
  return {200, "the lot goes on"};
}
