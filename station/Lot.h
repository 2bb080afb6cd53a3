// Production: a lot, tested touchdown by touchdown as the handler (or prober) feeds parts. The
// handler signals start of test with the sites that hold a part; the station runs one pass on
// exactly those sites, reads each part's hard bin from the lot's datalog and sends the bins back.
// See docs/handler.md.
#ifndef ATE_STATION_LOT_H_
#define ATE_STATION_LOT_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "handler/HandlerProtocol.h"

class EventLog;
class ProjectCatalog;
class StationSession;

// A guard on yield: trips once at least `after` parts were counted and their yield is below
// `percent`. Off while after is 0.
struct YieldGuard {
  double percent = 0;
  long after = 0;
};

struct LotGuards {
  long siteFailsInRow = 0;  // a site failing this many parts in a row; 0: off
  YieldGuard siteYield;     // any site's yield
  YieldGuard lotYield;      // the lot's yield
};

// What the operator (or the factory's system) starts a lot with: POST /api/lot/start.
struct LotRequest {
  std::string project, flow, setting;  // names in the projects folder, as for load and run
  std::string lotId, sublotId, operatorName, partType, testCode, temperature;
  char retestCode = 'N';      // MIR RTST_COD: N a first test, Y a retest, 0-9 retest count
  std::map<int, int> binMap;  // hard bin -> handler category; a bin not named is itself
  LotGuards guards;
  bool filePerWafer = false;  // a datalog of its own for each wafer, named with its id
  // The WCR's fields for a wafer lot, by their STDF names (WAFR_SIZ, DIE_HT, DIE_WID, WF_UNITS,
  // WF_FLAT, CENTER_X, CENTER_Y, POS_X, POS_Y); those not given stay missing.
  std::map<std::string, std::string> waferConfig;
};

// Reads a lot request from its JSON body; false with error saying what is wrong.
bool parseLotRequest(const std::string& body, LotRequest& request, std::string& error);

struct LotOptions {
  std::filesystem::path datalogDir;  // where the lot's datalogs go
  std::filesystem::path lotFile;     // the lot file the driver's libdatalog reads (ATE_LOT_FILE)
  std::string nodeName;              // the station's computer name, for the MIR
  std::chrono::milliseconds passTimeout{600000};  // for one touchdown's pass
  std::chrono::milliseconds readyTimeout{30000};  // for a restarted driver's prompt
  bool handlerConfigured = false;                 // started with --handler
  // Once a lot has ended (and its project is unloaded), on the lot's thread: its datalogs and its
  // report, and a line for people with its figures.
  std::function<void(const std::vector<std::string>& files, const std::string& summary)> onEnded;
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

  // Starts a lot: loads its project with the lot's identity; waits until that is done.
  LotAnswer start(const LotRequest& request);
  // Ends the lot after the touchdown in progress, unloads, and keeps the lot's summary.
  LotAnswer end();
  LotAnswer pause();
  LotAnswer resume();

  // Stops taking up work: a touchdown in progress ends without its BIN once the driver can't
  // finish it, and the driver is not started again. For the station's own end.
  void stop();

  // Whether a lot is running or paused: engineering commands wait until it has ended.
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
  // end to sending BIN), in microseconds, of the touchdowns so far (the newest 1,000).
  std::vector<double> stationWork() const;

  struct State;

 private:
  struct Event;
  void post(Event event);
  void loop();

  std::unique_ptr<State> state_;
  std::thread thread_;
};

#endif  // ATE_STATION_LOT_H_
