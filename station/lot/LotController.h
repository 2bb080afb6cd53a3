// Production: a lot, tested touchdown by touchdown as the handler (or prober) feeds parts. The
// handler signals start of test with the sites that hold a part; the station runs one pass on
// exactly those sites, reads each part's hard bin from the lot's datalog and sends the bins back.
// Every change of the lot goes into its journal first (DATALOGS/.lot/journal.jsonl), a
// touchdown's bins durably before its BIN is sent; a station started again after a crash resumes
// the unfinished lot from it by itself. See docs/handler.md.
#ifndef ATE_STATION_LOT_LOTCONTROLLER_H_
#define ATE_STATION_LOT_LOTCONTROLLER_H_

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "station/lot/LotBook.h"
#include "station/lot/LotRecords.h"
#include "station/lot/LotRequest.h"

class AuditTrail;
class EventLog;
class ProjectCatalog;
class Releases;
class StationSession;

struct LotOptions {
  std::filesystem::path datalogDir;  // where the lot's datalogs go
  std::filesystem::path lotFile;     // the lot file the driver's libdatalog reads (ATE_LOT_FILE)
  std::string nodeName;              // the station's computer name, for the MIR
  std::chrono::milliseconds passTimeout{600000};  // for one touchdown's pass
  std::chrono::milliseconds readyTimeout{30000};  // for a restarted driver's prompt
  bool handlerConfigured = false;                 // started with --handler
  // restore(): resume an unfinished lot (false: set its journal aside, --no-resume).
  bool resume = true;
  // Whether a driver from the station's earlier life still runs (one that could not be ended):
  // a resumed lot waits for it to be gone. Null: none was left over.
  std::function<bool()> leftoverDriverRuns;
  // The released programs a lot may name; null: lots name projects (a station without accounts).
  Releases* releases = nullptr;
  // Where what the lot does by itself (a guard's pause, a restart, the handler's end) is recorded,
  // and whose head each of the lot's datalogs takes as its anchor; null: none.
  AuditTrail* audit = nullptr;
  // Once a lot has ended (and its project is unloaded), on the lot's thread: its datalogs and its
  // report, and a line for people with its figures.
  std::function<void(const std::vector<std::string>& files, const std::string& summary)> onEnded;
  // Each change of the lot as it goes into the journal, with the book it leaves and the
  // handler's state in words; also each alarm while no lot runs (the book then idle). For those
  // who follow the lot from outside (the factory's host); called under the lot's lock, so it
  // must only take a copy and return.
  std::function<void(const lot::Record& record, const lot::LotBook& book,
                     const std::string& handlerState)>
      onRecord;
  // The handler's state changed without a record (its connection came or went); as onRecord.
  std::function<void(const lot::LotBook& book, const std::string& handlerState)> onStatus;
};

// The outcome of an operator's request.
struct LotAnswer {
  int status = 200;  // as an HTTP status
  std::string message;
};

// Thread-safe. Everything that drives the driver or the handler happens on the lot's own thread,
// in the order the requests and the handler's lines came.
class LotController {
 public:
  // send: writes a line to the handler; false when it couldn't.
  LotController(LotOptions options, ProjectCatalog& catalog, StationSession& session, EventLog& log,
                std::function<bool(const std::string&)> send);
  ~LotController();
  LotController(const LotController&) = delete;
  LotController& operator=(const LotController&) = delete;

  // Looks for the journal of a lot the station's earlier life left unfinished, and resumes that
  // lot (once the driver is ready), or sets the journal aside (options.resume false, or a journal
  // that can't be read: then with an alarm). Call once, before the handler's lines come. A line
  // for people saying what was found; empty when there was no journal.
  std::string restore();
  // Whether restore() resumed a lot.
  bool resumed() const;

  // The operator's requests; actor is who asks (the account, or "-" on a station without
  // accounts), as the lot's journal and report keep it.
  // Starts a lot: loads its project with the lot's identity; waits until that is done.
  LotAnswer start(const LotRequest& request, const std::string& actor = "-");
  // Ends the lot after the touchdown in progress, unloads, and keeps the lot's summary.
  LotAnswer end(const std::string& actor = "-");
  LotAnswer pause(const std::string& actor = "-");
  LotAnswer resume(const std::string& actor = "-");
  // Clears the lot's alarms from the page.
  LotAnswer clearAlarms(const std::string& actor = "-");

  // Stops taking up work: a touchdown in progress ends without its BIN once the driver can't
  // finish it, and the driver is not started again. For the station's own end.
  void stop();

  // Whether a lot is running or paused (or its end, begun before a restart, is being finished):
  // engineering commands wait until it has ended.
  bool active() const;
  // GET /api/lot as JSON (see docs/station.md).
  std::string json() const;
  // GET /api/lot/wafer: the parts tested on the lot's wafer id, from the from-th on (in test
  // order, retests included), as JSON; empty when the lot has no such wafer.
  std::string waferJson(const std::string& id, std::size_t from) const;
  // The last ended lot's HTML report (GET /api/lot/report); empty while there is none.
  std::string reportPath() const;

  // From the handler link's thread.
  void handlerLine(const std::string& line, bool overlong);
  void handlerConnection(bool connected, const std::string& what);

  // The station's own work per touchdown (from reading SOT to sending run, plus from the run's
  // end to sending BIN, the journal's and the datalog's syncs included), and the syncs alone, in
  // microseconds, of the touchdowns so far (the newest 1,000).
  std::vector<double> stationWork() const;
  std::vector<double> syncWork() const;

  struct State;

 private:
  struct Event;
  void post(Event event, bool first = false);
  LotAnswer ask(Event event);
  void loop();

  std::unique_ptr<State> state_;
  std::thread thread_;
};

#endif  // ATE_STATION_LOT_LOTCONTROLLER_H_
