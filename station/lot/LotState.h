// The lot controller's inside, shared by its units: LotController.cpp (the thread, the events,
// recording), LotLifecycle.cpp (start, end, resumption after a restart), LotTouchdown.cpp (a
// touchdown from SOT to BIN) and LotHandlerLines.cpp (what the handler may send when).
// Internal to the station's lot controller.
#ifndef ATE_STATION_LOT_LOTSTATE_H_
#define ATE_STATION_LOT_LOTSTATE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "handler/HandlerProtocol.h"
#include "station/lot/LotBook.h"
#include "station/lot/LotController.h"
#include "station/lot/LotFiles.h"
#include "station/lot/LotJournal.h"
#include "station/lot/TouchdownRunner.h"
#include "stdf/Pat.h"

class EventLog;
class ProjectCatalog;
class StationSession;

using LotClock = std::chrono::steady_clock;

struct LotController::Event {
  enum class Kind {
    start,    // the operator's new lot
    end,      // the operator's or the handler's end of the lot
    sot,      // a touchdown to test
    wafer,    // a wafer began: its datalog of its own, with filePerWafer
    restart,  // go on with a lot resumed from its journal
    finish,   // finish the end of a lot that ended before a restart
    release,  // the operator resumed a lot held for its program
    screen,   // outlier screening of the lot's datalogs so far (a wafer ended)
  };
  Kind kind = Kind::sot;
  LotRequest request;                     // start
  std::string text;                       // end: why; wafer: its id
  std::vector<handler::SiteEntry> sites;  // sot, in the SOT's order
  LotClock::time_point at;                // sot: when its line came
  std::shared_ptr<std::promise<LotAnswer>> answer;
};

// A part found in the lot's newest datalog at a restart that no BIN answered yet.
struct UnansweredPart {
  int site = 0;
  int hardBin = 0;
  bool passed = false;
  int softBin = 0;
};

// Where a touchdown's time went, for the station's own work (LotController::stationWork).
struct TouchdownTiming {
  LotClock::time_point runAt;      // its run sent
  LotClock::time_point passEnded;  // its run ended
  double syncMicros = 0;           // the datalog's and the journal's syncs
};

// A touchdown's pass: the SOT, and its sites in site order with their devices and parts.
struct TouchdownPass {
  std::vector<handler::SiteEntry> sot;  // in the SOT's order
  std::vector<int> sites;
  std::vector<std::string> devices;
  std::vector<lot::SitePart> bySite;
  std::string wafer;
  bool failstop = false;
  TouchdownTiming timing;
};

// What a handler's line did, for what follows it outside the lock.
struct LineOutcome {
  std::string error;   // refused, and why
  std::string resend;  // a BIN the handler asks for again
  long resentTouchdown = 0;
  std::string note;  // for the station's log
};

// Whether a SOT names the sites (and dies) of a touchdown taken before, in the same order.
bool sameTouchdown(const std::vector<lot::SitePart>& taken,
                   const std::vector<handler::SiteEntry>& sot);

struct LotController::State {
  State(LotOptions options, ProjectCatalog& catalog, StationSession& session, EventLog& log,
        std::function<bool(const std::string&)> send);

  // ---- The lot's thread (LotLifecycle.cpp, LotTouchdown.cpp) ----
  LotAnswer startLot(const LotRequest& request, const std::string& actor);
  // Checks a lot the operator asks for and reads its program (the setting's devices, each file's
  // digest); status 200 when it can start.
  LotAnswer describeLot(const LotRequest& request, lot::Started& started);
  // The project and flow of the release the lot names, refused when it or its files aren't as
  // released.
  LotAnswer describeRelease(const LotRequest& request, lot::Started& started);
  // Records something the lot did by itself in the audit trail (who: "station" or "handler").
  void auditLot(const std::string& who, const std::string& what);
  void endLot(const std::string& why);
  // What is left of an end that a restart interrupted: the report, delivery, the journal.
  void finishEnd();
  // Outlier screening of the lot's datalogs (pat apply) into the folder beside its first one;
  // when says after what. The files written; empty when the lot has no screening or it failed.
  std::vector<std::string> screenLot(const std::string& when);
  void restartLot();
  LotAnswer release(const std::string& actor);
  void switchWaferFile(const std::string& wafer);
  void touchdown(const Event& event);
  // Tests a touchdown's parts: its files written, its pass run and read, the datalog synced. The
  // bins in the SOT's order; none when the station ends under the pass.
  std::optional<std::vector<lot::PartBin>> testTouchdown(TouchdownPass& pass);
  // Records a touchdown's bins durably, sends its BIN, and counts it in the figures and guards.
  void answerTouchdown(const Event& event, long number, const std::vector<lot::PartBin>& parts,
                       bool fromDatalog, TouchdownTiming& timing);
  // The lot's project loaded into a new datalog; false (with an alarm) when it couldn't be.
  bool loadIntoNewFile();
  bool reload();
  // Whether the lot's program files are as they were when it started; the changed one named.
  bool programUnchanged(std::string& changed) const;
  // Holds the lot for why (its program, the driver): paused with an alarm, the handler told, until
  // the operator resumes it.
  void holdProgram(const std::string& why);

  // ---- The handler link's thread, under the lock (LotHandlerLines.cpp) ----
  void takeSot(const handler::HandlerMessage& message, LineOutcome& taken);
  void takeEol(LineOutcome& taken);
  void takeAlarm(bool on);  // ALARM, or READY
  void takeWafer(const handler::HandlerMessage& message, LineOutcome& taken);

  // ---- Any thread (LotController.cpp) ----
  // Writes the record to the journal (when one is open) and takes it into the book. Durable:
  // on the disk before this returns. The lock must not be held for a durable record.
  void record(const lot::Record& record, bool durable);
  void recordLocked(const lot::Record& record);  // with the lock held; not durable
  void syncJournal();
  void alarm(const std::string& text);
  void alarmLocked(const std::string& text);
  void note(const std::string& text);
  bool send(const std::string& line);
  // The handler's state for the page; under the lock.
  std::string handlerState() const;
  // Whether the handler was told to hold its SOTs (PAUSE); under the lock.
  bool handlerHeld() const {
    return book.held(lot::Hold::operatorPause) || book.held(lot::Hold::guard) ||
           book.held(lot::Hold::program);
  }
  bool testing() const { return book.phase() == lot::Phase::running && !book.paused(); }
  // Moves the journal out of the way: an ended lot's into the ended folder, or one that is not
  // resumed aside with a suffix saying why. The path it now has.
  std::string putJournalAway(const std::string& why);

  const LotOptions options;
  const lot::LotPaths paths;
  ProjectCatalog& catalog;
  StationSession& session;
  EventLog& log;
  const std::function<bool(const std::string&)> sendToHandler;
  lot::TouchdownRunner runner;  // the lot's thread only

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::deque<Event> events;
  std::optional<Event> heldSot;  // a touchdown that waits for the lot to go on
  bool stopping = false;

  lot::LotBook book;
  lot::JournalWriter journal;  // open while a lot runs
  bool journalFailing = false;
  bool resumedLot = false;     // restore() resumed a lot
  bool finishing = false;      // restore() found a lot whose end is still to be finished
  bool projectLoaded = false;  // the lot's project is loaded in the driver
  bool touchdownOpen = false;  // a SOT was taken whose BIN isn't sent yet
  bool handlerConnected = false;
  bool handlerOnWafer = false;   // between a WAFER and its EOW, as the handler's lines came
  bool alarmFromBefore = false;  // the handler's alarm was on when the station restarted
  std::optional<std::string> earlyWafer;       // a WAFER that came before the lot started
  std::vector<handler::SiteEntry> inProgress;  // the touchdown whose pass is going; empty: none
  std::map<std::uint64_t, UnansweredPart> unanswered;  // by PART_ID, found at a restart
  std::string reportPath;                              // the ended lot's report
  std::optional<stdf::PatApplyResult> pat;             // the lot's latest outlier screening
  std::string patWhen;
  std::vector<lot::Alarm> stationAlarms;  // alarms while no lot runs
  std::deque<double> work, syncs;         // microseconds
};

#endif  // ATE_STATION_LOT_LOTSTATE_H_
