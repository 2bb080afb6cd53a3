#include "station/Lot.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <future>
#include <set>

#include "handler/HandlerProtocol.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationSession.h"
#include "stdf/LotData.h"
#include "stdf/LotReport.h"
#include "stdf/StdfReader.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

// The bin of a part the pass logged nothing for: libdatalog's bin of an incomplete part.
constexpr int INCOMPLETE_BIN = 99;
// Figures over the newest touchdowns.
constexpr std::size_t RECENT = 100;
constexpr std::size_t KEPT_WORK = 1000;
// How often a touchdown is tried when the driver ends under it.
constexpr int ATTEMPTS = 3;

const std::set<std::string> LOT_KEYS = {
    "project",  "flow",        "setting", "lotId",  "sublotId", "operator",     "partType",
    "testCode", "temperature", "retest",  "binMap", "guards",   "filePerWafer", "wafer"};

bool text(const Json& body, const char* key, bool required, std::string& value,
          std::string& error) {
  const auto found = body.find(key);
  if (found == body.end() || found->is_null()) {
    if (required) error = std::string("the lot needs \"") + key + "\" as a string";
    return !required;
  }
  if (!found->is_string()) {
    error = std::string("\"") + key + "\" must be a string";
    return false;
  }
  value = found->get<std::string>();
  return true;
}

bool count(const Json& value, const std::string& what, long& out, std::string& error) {
  if (!value.is_number_integer() || value.get<long long>() < 0 ||
      value.get<long long>() > 1000000000) {
    error = what + " must be a whole number from 0";
    return false;
  }
  out = static_cast<long>(value.get<long long>());
  return true;
}

bool yieldGuard(const Json& value, const std::string& what, YieldGuard& guard, std::string& error) {
  if (!value.is_object()) {
    error = what + " must be an object {\"percent\": P, \"after\": M}";
    return false;
  }
  for (const auto& [key, item] : value.items()) {
    if (key == "percent") {
      if (!item.is_number() || item.get<double>() < 0 || item.get<double>() > 100) {
        error = what + ".percent must be a number from 0 to 100";
        return false;
      }
      guard.percent = item.get<double>();
    } else if (key == "after") {
      if (!count(item, what + ".after", guard.after, error)) return false;
    } else {
      error = what + " has no \"" + key + "\"";
      return false;
    }
  }
  return true;
}

std::string localTime() {
  const std::time_t now = std::time(nullptr);
  char out[32] = "";
  // localtime's buffer is shared; only the lot's state lock holders call this.
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(out, sizeof out, "%Y-%m-%d %H:%M:%S", local);
  }
  return out;
}

std::string fileStamp() {
  const std::time_t now = std::time(nullptr);
  char out[32] = "00000000_000000";
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(out, sizeof out, "%Y%m%d_%H%M%S", local);
  }
  return out;
}

// A text as one line of the lot file.
std::string oneLine(std::string value) {
  for (char& c : value) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return value;
}

std::string fileComponent(const std::string& value) {
  std::string out;
  for (const char c : value) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    out.push_back(plain ? c : '_');
  }
  return out;
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  return values[middle];
}

double percent(long good, long parts) { return parts == 0 ? 0.0 : 100.0 * good / parts; }

bool sameSites(const std::vector<handler::SiteEntry>& a, const std::vector<handler::SiteEntry>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].site != b[i].site || a[i].die.has_value() != b[i].die.has_value() ||
        (a[i].die && !(*a[i].die == *b[i].die))) {
      return false;
    }
  }
  return true;
}

// The lot's "wafer": what the WCR says about its wafers, by the WCR's field names.
bool waferConfig(const Json& value, std::map<std::string, std::string>& out, std::string& error) {
  if (!value.is_object()) {
    error =
        "\"wafer\" must be an object (size, dieHeight, dieWidth, units, flat, centerX, "
        "centerY, posX, posY)";
    return false;
  }
  static const std::map<std::string, std::string> SIZES = {
      {"size", "WAFR_SIZ"}, {"dieHeight", "DIE_HT"}, {"dieWidth", "DIE_WID"}};
  static const std::map<std::string, std::string> UNITS = {
      {"in", "1"}, {"cm", "2"}, {"mm", "3"}, {"mil", "4"}};
  static const std::map<std::string, std::pair<std::string, std::string>> LETTERS = {
      {"flat", {"WF_FLAT", "UDLR"}}, {"posX", {"POS_X", "LR"}}, {"posY", {"POS_Y", "UD"}}};
  for (const auto& [key, item] : value.items()) {
    const std::string what = "wafer." + key;
    if (const auto size = SIZES.find(key); size != SIZES.end()) {
      if (!item.is_number() || !(item.get<double>() > 0) || item.get<double>() > 1e6) {
        error = what + " must be a positive number";
        return false;
      }
      out[size->second] = item.dump();
    } else if (key == "units") {
      const auto unit = item.is_string() ? UNITS.find(item.get<std::string>()) : UNITS.end();
      if (unit == UNITS.end()) {
        error = what + " must be \"in\", \"cm\", \"mm\" or \"mil\"";
        return false;
      }
      out["WF_UNITS"] = unit->second;
    } else if (key == "centerX" || key == "centerY") {
      if (!item.is_number_integer() || item.get<long>() < -32767 || item.get<long>() > 32767) {
        error = what + " must be a whole number from -32767 to 32767";
        return false;
      }
      out[key == "centerX" ? "CENTER_X" : "CENTER_Y"] = std::to_string(item.get<long>());
    } else if (const auto letter = LETTERS.find(key); letter != LETTERS.end()) {
      const std::string& allowed = letter->second.second;
      if (!item.is_string() || item.get<std::string>().size() != 1 ||
          allowed.find(item.get<std::string>()[0]) == std::string::npos) {
        error = what + " must be one of the letters " + allowed;
        return false;
      }
      out[letter->second.first] = item.get<std::string>();
    } else {
      error = "a wafer has no \"" + key + "\"";
      return false;
    }
  }
  return true;
}

}  // namespace

bool parseLotRequest(const std::string& body, LotRequest& request, std::string& error) {
  Json document;
  try {
    document = Json::parse(body);
  } catch (const Json::exception& failure) {
    error = std::string("the lot is not valid JSON: ") + failure.what();
    return false;
  }
  if (!document.is_object()) {
    error = "the lot must be a JSON object";
    return false;
  }
  for (const auto& [key, value] : document.items()) {
    if (LOT_KEYS.count(key) == 0) {
      error = "a lot has no \"" + key + "\"";
      return false;
    }
  }
  request = LotRequest{};
  if (!text(document, "project", true, request.project, error) ||
      !text(document, "flow", true, request.flow, error) ||
      !text(document, "setting", true, request.setting, error) ||
      !text(document, "lotId", true, request.lotId, error) ||
      !text(document, "sublotId", false, request.sublotId, error) ||
      !text(document, "operator", false, request.operatorName, error) ||
      !text(document, "partType", false, request.partType, error) ||
      !text(document, "testCode", false, request.testCode, error) ||
      !text(document, "temperature", false, request.temperature, error)) {
    return false;
  }
  if (request.lotId.empty()) {
    error = "the lot needs a lotId";
    return false;
  }
  if (const auto retest = document.find("retest"); retest != document.end()) {
    if (retest->is_boolean()) {
      request.retestCode = retest->get<bool>() ? 'Y' : 'N';
    } else if (retest->is_number_integer() && retest->get<int>() >= 0 && retest->get<int>() <= 9) {
      request.retestCode = static_cast<char>('0' + retest->get<int>());
    } else {
      error = "\"retest\" must be true, false or the number of retests from 0 to 9";
      return false;
    }
  }
  if (const auto map = document.find("binMap"); map != document.end()) {
    if (!map->is_object()) {
      error = "\"binMap\" must be an object from hard bin to handler category";
      return false;
    }
    for (const auto& [key, value] : map->items()) {
      long bin = -1;
      long category = -1;
      const bool numeric = !key.empty() && key.size() <= 5 &&
                           key.find_first_not_of("0123456789") == std::string::npos;
      if (!numeric || (bin = std::stol(key)) > 65535 ||
          !count(value, "the category of bin " + key, category, error) || category > 65535) {
        if (error.empty() || numeric) {
          error = "\"binMap\" maps hard bins (0 to 65535) to categories (0 to 65535): \"" + key +
                  "\" doesn't fit";
        }
        return false;
      }
      request.binMap[static_cast<int>(bin)] = static_cast<int>(category);
    }
  }
  if (const auto perWafer = document.find("filePerWafer"); perWafer != document.end()) {
    if (!perWafer->is_boolean()) {
      error = "\"filePerWafer\" must be true or false";
      return false;
    }
    request.filePerWafer = perWafer->get<bool>();
  }
  if (const auto wafer = document.find("wafer"); wafer != document.end()) {
    if (!waferConfig(*wafer, request.waferConfig, error)) return false;
  }
  if (const auto guards = document.find("guards"); guards != document.end()) {
    if (!guards->is_object()) {
      error = "\"guards\" must be an object";
      return false;
    }
    for (const auto& [key, value] : guards->items()) {
      bool ok = false;
      if (key == "siteFailsInRow") {
        ok = count(value, "guards.siteFailsInRow", request.guards.siteFailsInRow, error);
      } else if (key == "siteYield") {
        ok = yieldGuard(value, "guards.siteYield", request.guards.siteYield, error);
      } else if (key == "lotYield") {
        ok = yieldGuard(value, "guards.lotYield", request.guards.lotYield, error);
      } else {
        error = "there is no guard \"" + key + "\" (siteFailsInRow, siteYield, lotYield)";
      }
      if (!ok) return false;
    }
  }
  return true;
}

struct LotController::Event {
  enum class Kind { start, end, sot, eol, wafer, eow, stop };
  Kind kind = Kind::stop;
  LotRequest request;                     // start
  std::string waferId;                    // wafer
  std::vector<handler::SiteEntry> sites;  // sot
  Clock::time_point at;                   // sot: when its line came
  std::shared_ptr<std::promise<LotAnswer>> answer;
};

struct LotController::State {
  enum class Phase { idle, running, ended };

  struct Site {
    std::string device;
    long parts = 0;
    long good = 0;
    long failsInRow = 0;
    long guardParts = 0;  // parts when its yield guard was last armed
    long guardGood = 0;
  };
  struct Touchdown {
    Clock::time_point sot, bin;
    std::size_t parts = 0;
  };
  struct Alarm {
    std::string time;
    std::string text;
  };
  // A part tested on a wafer, in test order.
  struct DiePart {
    int x = 0, y = 0, site = 0, hardBin = 0;
    bool passed = false;
    std::string partId;
  };
  struct Wafer {
    std::string id;
    std::vector<DiePart> parts;                // retests included
    std::map<std::pair<int, int>, bool> dies;  // the last result of each X,Y
    long good = 0;                             // dies whose last result passed
    long retests = 0;                          // parts that tested a die again
    bool ended = false;
  };
  struct Found {
    int hardBin = 0;
    bool passed = false;
    std::string partId;
  };

  State(LotOptions options, ProjectCatalog& catalog, StationSession& session, EventLog& log,
        std::function<bool(const std::string&)> send)
      : options(std::move(options)),
        catalog(catalog),
        session(session),
        log(log),
        sendToHandler(std::move(send)) {}

  // The lot thread's work.
  LotAnswer startLot(const LotRequest& request);
  void endLot(const std::string& why);
  void touchdown(const Event& event);
  bool prepareFile();
  bool reload();
  // The lot's project loaded into the next datalog file.
  bool loadIntoNewFile();
  bool collect(const std::vector<handler::SiteEntry>& sites, std::map<int, Found>& parts);
  void startWafer(const std::string& id);
  std::string writeReport(const std::vector<std::string>& files);
  void endWafer();
  bool writeTouchdownFile(const std::vector<handler::SiteEntry>& sites);
  // Where the station says which wafer and dies the next pass tests (read by libdatalog).
  fs::path touchdownPath() const { return options.lotFile.parent_path() / "touchdown.txt"; }
  void checkGuards(const std::vector<int>& sites);

  // Helpers that take the lock themselves.
  void alarm(const std::string& text);
  void note(const std::string& text);
  bool send(const std::string& line);

  // Under the lock.
  bool paused() const { return operatorPaused || guardPaused || handlerAlarm; }
  std::string handlerState() const;
  Json figures() const;

  const LotOptions options;
  ProjectCatalog& catalog;
  StationSession& session;
  EventLog& log;
  const std::function<bool(const std::string&)> sendToHandler;

  mutable std::mutex mutex;  // guards everything below
  std::condition_variable wake;
  std::deque<Event> events;
  std::optional<Event> heldSot;  // a touchdown that waits for the lot to resume
  bool stopping = false;

  Phase phase = Phase::idle;
  LotRequest request;
  std::string startedAt;
  std::vector<std::string> devices;  // by site - 1
  bool failstop = false;
  fs::path settingPath;
  std::vector<std::string> files;                // the lot's datalogs, oldest first
  std::unique_ptr<stdf::StdfFollower> follower;  // of files.back()
  bool operatorPaused = false;
  bool guardPaused = false;
  bool handlerAlarm = false;
  bool sentPause = false;
  std::string pauseReason;
  bool touchdownOpen = false;  // a SOT was taken whose BIN isn't sent yet
  struct UnsentBin {
    std::vector<handler::SiteEntry> sites;
    std::string line;
  };
  std::optional<UnsentBin> unsentBin;  // the last BIN, when it couldn't be sent
  bool handlerConnected = false;
  std::string endReason;
  std::string reportPath;  // the ended lot's report; empty until there is one

  long parts = 0;
  long good = 0;              // parts that passed, retests included (what the guards count)
  long finalGood = 0;         // dies and parts whose last result passed
  long retests = 0;           // parts that tested a die of a wafer again
  long partsInFile = 0;       // parts in files.back()
  std::vector<Wafer> wafers;  // the lot's, oldest first
  bool onWafer = false;       // between a WAFER and its EOW, on the lot's thread
  std::optional<std::string> earlyWafer;       // a WAFER that came before the lot started
  bool handlerOnWafer = false;                 // the same, as the handler's lines have come so far
  std::vector<handler::SiteEntry> inProgress;  // the touchdown whose pass is going; empty: none
  long lotGuardParts = 0;
  long lotGuardGood = 0;
  std::map<int, Site> sites;
  std::map<int, long> hardBins;
  std::deque<Touchdown> recent;
  std::deque<double> testTimes, indexTimes;  // milliseconds
  std::deque<double> work;                   // microseconds
  std::vector<Alarm> alarms;
  std::optional<Clock::time_point> lastBin;
  long touchdowns = 0;
};

void LotController::State::note(const std::string& text) {
  log.append(LogLine::Kind::station, "lot: " + text);
}

void LotController::State::alarm(const std::string& text) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    alarms.push_back(Alarm{localTime(), text});
    if (alarms.size() > 200) alarms.erase(alarms.begin());
  }
  log.append(LogLine::Kind::station, "alarm: " + text);
  log.touch();
}

bool LotController::State::send(const std::string& line) {
  log.append(LogLine::Kind::station, "handler < " + line);
  return sendToHandler(line);
}

std::string LotController::State::handlerState() const {
  if (!options.handlerConfigured) return "none";
  if (!handlerConnected) return "disconnected";
  if (handlerAlarm) return "alarm";
  if (!inProgress.empty()) return "testing";
  if (operatorPaused || guardPaused) return "paused";
  return "waiting for SOT";
}

Json LotController::State::figures() const {
  Json siteList = Json::array();
  for (const auto& [number, site] : sites) {
    siteList.push_back({{"site", number},
                        {"device", site.device},
                        {"parts", site.parts},
                        {"good", site.good},
                        {"yield", percent(site.good, site.parts)}});
  }
  Json bins = Json::array();
  for (const auto& [bin, n] : hardBins) bins.push_back({{"bin", bin}, {"count", n}});
  double uph = 0;
  if (!recent.empty()) {
    std::size_t n = 0;
    for (const Touchdown& t : recent) n += t.parts;
    const double hours =
        std::chrono::duration<double>(recent.back().bin - recent.front().sot).count() / 3600;
    if (hours > 0) uph = n / hours;
  }
  Json waferList = Json::array();
  for (const Wafer& wafer : wafers) {
    waferList.push_back({{"id", wafer.id},
                         {"dies", wafer.dies.size()},
                         {"parts", wafer.parts.size()},
                         {"good", wafer.good},
                         {"retests", wafer.retests},
                         {"yield", percent(wafer.good, static_cast<long>(wafer.dies.size()))},
                         {"ended", wafer.ended}});
  }
  Json testingNow = Json::array();
  for (const handler::SiteEntry& entry : inProgress) {
    if (entry.die) {
      testingNow.push_back({{"site", entry.site}, {"x", entry.die->x}, {"y", entry.die->y}});
    }
  }
  // Each die (or part) counts once, with its last result.
  return {{"parts", parts},
          {"retests", retests},
          {"good", finalGood},
          {"yield", percent(finalGood, parts - retests)},
          {"wafers", waferList},
          {"wafer", onWafer && !wafers.empty() ? Json(wafers.back().id) : Json(nullptr)},
          {"testingDies", testingNow},
          {"touchdowns", touchdowns},
          {"sites", siteList},
          {"bins", bins},
          {"unitsPerHour", uph},
          {"testTimeMs", median({testTimes.begin(), testTimes.end()})},
          {"indexTimeMs", median({indexTimes.begin(), indexTimes.end()})}};
}

LotAnswer LotController::State::startLot(const LotRequest& lot) {
  if (!options.handlerConfigured) {
    return {409, "the station has no handler: start it with --handler HOST:PORT"};
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase == Phase::running) return {409, "a lot is running; end it first"};
  }
  const SessionState state = session.state();
  if (state.driver != SessionState::Driver::ready) return {409, "the driver is not ready"};
  if (!state.runs.empty()) return {409, "a run is going; stop it before starting a lot"};

  fs::path library, flowPath, setting;
  std::string error;
  ProjectCatalog::Lookup found =
      catalog.resolveLoad(lot.project, lot.flow, library, flowPath, error);
  if (found == ProjectCatalog::Lookup::ok) {
    found = catalog.resolve(lot.project, lot.setting, setting, error);
  }
  if (found != ProjectCatalog::Lookup::ok) {
    return {found == ProjectCatalog::Lookup::bad ? 400 : 404, error};
  }
  // The setting names the lot's devices (position i is site i + 1) and its fail-stop.
  std::vector<std::string> lotDevices;
  bool lotFailstop = false;
  try {
    std::ifstream in(setting);
    const Json document = Json::parse(in);
    lotFailstop = document.at("executeSetting").at("failstop").get<bool>();
    lotDevices = document.at("dutSetting").at("selectDUT").get<std::vector<std::string>>();
  } catch (const std::exception& failure) {
    return {422, "cannot read the lot's setting \"" + lot.setting + "\": " + failure.what()};
  }
  if (lotDevices.empty() || lotDevices.size() > 255) {
    return {422, "the lot's setting must name 1 to 255 devices, one per site"};
  }
  const fs::path work = options.lotFile.parent_path();
  std::error_code failure;
  fs::create_directories(work, failure);
  for (const fs::path& path : {library, flowPath, work}) {
    if (path.u8string().find_first_of(" \t\n\v\f\r") != std::string::npos) {
      return {400, "the path \"" + path.u8string() +
                       "\" holds white space, which a driver command can't carry"};
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    phase = Phase::running;
    request = lot;
    startedAt = localTime();
    devices = lotDevices;
    failstop = lotFailstop;
    settingPath = work / "touchdown.Json";
    files.clear();
    operatorPaused = guardPaused = handlerAlarm = sentPause = false;
    pauseReason.clear();
    endReason.clear();
    reportPath.clear();
    parts = good = finalGood = retests = lotGuardParts = lotGuardGood = 0;
    wafers.clear();
    onWafer = false;  // the handler's own wafer state stays: its WAFER may come first
    inProgress.clear();
    sites.clear();
    for (std::size_t i = 0; i < devices.size(); ++i) {
      sites[static_cast<int>(i + 1)].device = devices[i];
    }
    hardBins.clear();
    recent.clear();
    testTimes.clear();
    indexTimes.clear();
    alarms.clear();
    lastBin.reset();
    touchdowns = 0;
  }
  if (!prepareFile()) {
    std::lock_guard<std::mutex> lock(mutex);
    phase = Phase::idle;
    return {500, "cannot write the lot file " + options.lotFile.u8string()};
  }
  const CommandResult loaded =
      session.load(lot.project, lot.flow, library.u8string(), flowPath.u8string());
  if (loaded.outcome != CommandResult::Outcome::done) {
    fs::remove(options.lotFile, failure);
    std::lock_guard<std::mutex> lock(mutex);
    phase = Phase::idle;
    return {422, "the lot's project could not be loaded: " + loaded.message};
  }
  note("lot " + lot.lotId + " started: " + std::to_string(lotDevices.size()) + " sites, datalog " +
       files.back());
  log.touch();
  std::optional<std::string> early;
  {
    std::lock_guard<std::mutex> lock(mutex);
    early = std::move(earlyWafer);
    earlyWafer.reset();
  }
  if (early) startWafer(*early);
  return {200, "lot " + lot.lotId + " started"};
}

bool LotController::State::prepareFile() {
  std::unique_lock<std::mutex> lock(mutex);
  std::string stem;
  std::string wafer = request.filePerWafer && onWafer ? wafers.back().id : std::string();
  for (const std::string* part : {&request.partType, &request.lotId, &wafer}) {
    if (!part->empty()) stem += fileComponent(*part) + "_";
  }
  stem += fileStamp();
  fs::path file = options.datalogDir / (stem + ".stdf");
  std::error_code error;
  for (int n = 2; fs::exists(file, error) && n < 10000; ++n) {
    file = options.datalogDir / (stem + "_" + std::to_string(n) + ".stdf");
  }
  std::string content = "# The lot being tested, written by ate-station; read by libdatalog.\n";
  content += "LOT_ID=" + oneLine(request.lotId) + "\n";
  content += "SBLOT_ID=" + oneLine(request.sublotId) + "\n";
  content += "PART_TYP=" + oneLine(request.partType) + "\n";
  content += "OPER_NAM=" + oneLine(request.operatorName) + "\n";
  content += "TEST_COD=" + oneLine(request.testCode) + "\n";
  content += "TST_TEMP=" + oneLine(request.temperature) + "\n";
  content += "NODE_NAM=" + oneLine(options.nodeName) + "\n";
  content += "MODE_COD=P\n";
  content += std::string("RTST_COD=") + request.retestCode + "\n";
  content += "FILE=" + file.u8string() + "\n";
  content += "FIRST_PART_ID=" + std::to_string(parts + 1) + "\n";
  content += "TOUCHDOWN=" + touchdownPath().u8string() + "\n";
  for (const auto& [field, value] : request.waferConfig) {
    content += "WCR." + field + "=" + value + "\n";
  }
  for (std::size_t i = 0; i < devices.size(); ++i) {
    content += "SITE." + std::to_string(i + 1) + "=" + oneLine(devices[i]) + "\n";
  }
  files.push_back(file.u8string());
  partsInFile = 0;
  follower = std::make_unique<stdf::StdfFollower>();
  lock.unlock();
  const fs::path aside = options.lotFile.u8string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) return false;
  }
  fs::rename(aside, options.lotFile, error);
  return !error;
}

bool LotController::State::writeTouchdownFile(const std::vector<handler::SiteEntry>& sites) {
  std::string content;
  {
    std::lock_guard<std::mutex> lock(mutex);
    content = "WAFER=" + (onWafer ? oneLine(wafers.back().id) : std::string()) + "\n";
  }
  for (const handler::SiteEntry& entry : sites) {
    if (entry.die) {
      content += "XY." + std::to_string(entry.site) + "=" + std::to_string(entry.die->x) + "," +
                 std::to_string(entry.die->y) + "\n";
    }
  }
  const fs::path path = touchdownPath();
  const fs::path aside = path.u8string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) return false;
  }
  std::error_code error;
  fs::rename(aside, path, error);
  return !error;
}

std::string LotController::State::writeReport(const std::vector<std::string>& lotFiles) {
  if (lotFiles.empty()) return "";
  stdf::LotCollector collector;
  for (const std::string& file : lotFiles) {
    std::ifstream in(fs::u8path(file), std::ios::binary);
    stdf::StdfReader reader(in);
    for (stdf::Record record; reader.next(record);) collector.add(record);
    collector.endFile(file);
  }
  fs::path path = fs::u8path(lotFiles.front());
  path.replace_extension(".html");
  const fs::path aside = path.u8string() + ".new";
  {
    std::ofstream out(aside, std::ios::binary | std::ios::trunc);
    out << stdf::reportHtml(collector.report());
    if (!out.flush()) {
      alarm("cannot write the lot's report " + path.u8string());
      return "";
    }
  }
  std::error_code error;
  fs::rename(aside, path, error);
  return error ? "" : path.u8string();
}

void LotController::State::startWafer(const std::string& id) {
  bool switchFile = false;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase != Phase::running) {
      // A prober that starts its wafer before the lot has started: the lot begins with it.
      earlyWafer = id;
      return;
    }
    wafers.push_back(Wafer{id, {}, {}, 0, 0, false});
    onWafer = true;
    switchFile = request.filePerWafer;
  }
  note("wafer " + id + " started");
  log.touch();
  if (!switchFile) return;
  // Each wafer in a file of its own: the project is loaded again with the wafer's file. The
  // lot's first file, when no part went into it, is not kept.
  const CommandResult unloaded = session.unload();
  if (unloaded.outcome != CommandResult::Outcome::done) {
    alarm("the unload before wafer " + id + " failed: " + unloaded.message);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (partsInFile == 0 && !files.empty()) {
      std::error_code error;
      fs::remove(fs::u8path(files.back()), error);
      files.pop_back();
    }
  }
  if (!loadIntoNewFile()) {
    alarm("the project could not be loaded again for wafer " + id);
    return;
  }
  std::lock_guard<std::mutex> lock(mutex);
  note("wafer " + id + " goes into " + files.back());
}

void LotController::State::endWafer() {
  std::string line;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (!onWafer || wafers.empty()) return;
    onWafer = false;
    Wafer& wafer = wafers.back();
    wafer.ended = true;
    char yield[32];
    std::snprintf(yield, sizeof yield, "%.1f",
                  percent(wafer.good, static_cast<long>(wafer.dies.size())));
    line = "wafer " + wafer.id + " ended: " + std::to_string(wafer.dies.size()) + " dies, " +
           std::to_string(wafer.good) + " good (" + yield + " %), " +
           std::to_string(wafer.retests) + " retests";
  }
  note(line);
  log.touch();
}

bool LotController::State::reload() {
  alarm(
      "the driver ended during a touchdown; restarting it, loading the lot again and testing "
      "the touchdown again");
  if (!session.start() && session.state().driver == SessionState::Driver::ended) return false;
  if (!session.waitReady(options.readyTimeout) || !loadIntoNewFile()) return false;
  std::lock_guard<std::mutex> lock(mutex);
  note("the lot goes on in " + files.back());
  return true;
}

bool LotController::State::loadIntoNewFile() {
  fs::path library, flowPath;
  std::string error;
  LotRequest lot;
  {
    std::lock_guard<std::mutex> lock(mutex);
    lot = request;
  }
  return catalog.resolveLoad(lot.project, lot.flow, library, flowPath, error) ==
             ProjectCatalog::Lookup::ok &&
         prepareFile() &&
         session.load(lot.project, lot.flow, library.u8string(), flowPath.u8string()).outcome ==
             CommandResult::Outcome::done;
}

bool LotController::State::collect(const std::vector<handler::SiteEntry>& wanted,
                                   std::map<int, Found>& found) {
  std::string file;
  {
    std::lock_guard<std::mutex> lock(mutex);
    file = files.back();
  }
  const stdf::StdfFollower::Update update = follower->update(file, [&](const stdf::Record& record) {
    if (!record.is("PRR") || record.fields.size() <= stdf::field::PRR_HARD_BIN) return;
    const int site = static_cast<int>(record.fields[stdf::field::PRR_SITE_NUM].u);
    const auto flags = record.fields[stdf::field::PRR_PART_FLG].u;
    found[site] = {static_cast<int>(record.fields[stdf::field::PRR_HARD_BIN].u),
                   (flags & stdf::flag::PART_NOT_GOOD) == 0,
                   std::string(record.textValue("PART_ID"))};
  });
  if (update.error != nullptr) alarm("the lot's datalog: " + update.error->message);
  for (const handler::SiteEntry& entry : wanted) {
    if (found.count(entry.site) == 0) return false;
  }
  return true;
}

void LotController::State::touchdown(const Event& event) {
  {
    // A SOT that came before the lot is checked against the lot's sites now.
    std::unique_lock<std::mutex> lock(mutex);
    const auto beyond =
        std::find_if(event.sites.begin(), event.sites.end(), [&](const handler::SiteEntry& entry) {
          return entry.site > static_cast<int>(devices.size());
        });
    if (beyond != event.sites.end()) {
      touchdownOpen = false;
      lock.unlock();
      const std::string why = "site " + std::to_string(beyond->site) +
                              " is out of range (the lot has " + std::to_string(devices.size()) +
                              " sites)";
      send(handler::errorLine(why));
      alarm("the handler sent a touchdown the station refused (" + why + ")");
      return;
    }
  }
  std::vector<handler::SiteEntry> ordered = event.sites;
  std::sort(
      ordered.begin(), ordered.end(),
      [](const handler::SiteEntry& a, const handler::SiteEntry& b) { return a.site < b.site; });
  bool failstopNow = false;
  Json selected = Json::array();
  fs::path setting;
  {
    std::lock_guard<std::mutex> lock(mutex);
    inProgress = ordered;
    failstopNow = failstop;
    for (const handler::SiteEntry& entry : ordered) {
      selected.push_back(devices[static_cast<std::size_t>(entry.site - 1)]);
    }
    setting = settingPath;
  }
  log.touch();
  {
    const Json document = {{"executeSetting", {{"failstop", failstopNow}, {"loopcount", 1}}},
                           {"dutSetting", {{"selectDUT", selected}}}};
    std::ofstream out(setting, std::ios::binary | std::ios::trunc);
    out << document.dump() << "\n";
  }

  if (!writeTouchdownFile(ordered)) alarm("cannot write " + touchdownPath().u8string());
  std::map<int, Found> partsFound;
  double workMicros = 0;
  Clock::time_point passEnd = Clock::now();
  bool complete = false;
  for (int attempt = 0; attempt < ATTEMPTS && !complete; ++attempt) {
    if (attempt == 0) {
      workMicros += std::chrono::duration<double, std::micro>(Clock::now() - event.at).count();
    }
    const CommandResult ran = session.run("touchdown", setting.u8string());
    host::Outcome outcome = host::Outcome::driverEnded;
    if (ran.outcome == CommandResult::Outcome::done) {
      outcome = session.waitForRuns(options.passTimeout);
    } else if (ran.outcome == CommandResult::Outcome::errorReply ||
               ran.outcome == CommandResult::Outcome::timeout) {
      alarm("the touchdown's run failed: " + ran.message);
      outcome = host::Outcome::timeout;
    }
    passEnd = Clock::now();
    complete = collect(ordered, partsFound);
    if (complete || outcome == host::Outcome::ok) break;
    if (outcome == host::Outcome::timeout) {
      alarm("the touchdown's pass did not end; its parts get bin " +
            std::to_string(INCOMPLETE_BIN));
      break;
    }
    // The driver ended under the touchdown: its parts are still in the sites.
    partsFound.clear();
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;  // the station ends: the handler asks again for these parts
    }
    if (!reload()) {
      alarm("the driver could not be started and loaded again");
      break;
    }
  }

  // The handler's bins, in the SOT's order.
  std::vector<std::pair<int, int>> bins;
  std::vector<int> tested;
  std::lock_guard<std::mutex> lock(mutex);
  for (const handler::SiteEntry& entry : event.sites) {
    const auto part = partsFound.find(entry.site);
    int hardBin = INCOMPLETE_BIN;
    bool passed = false;
    std::string partId;
    if (part != partsFound.end()) {
      hardBin = part->second.hardBin;
      passed = part->second.passed;
      partId = part->second.partId;
    } else {
      alarms.push_back(Alarm{localTime(), "site " + std::to_string(entry.site) +
                                              ": the pass logged no part; binned " +
                                              std::to_string(INCOMPLETE_BIN)});
    }
    const auto mapped = request.binMap.find(hardBin);
    bins.emplace_back(entry.site, mapped != request.binMap.end() ? mapped->second : hardBin);
    Site& site = sites[entry.site];
    ++site.parts;
    ++parts;
    ++partsInFile;
    ++hardBins[hardBin];
    if (onWafer && entry.die) {
      Wafer& wafer = wafers.back();
      wafer.parts.push_back(
          DiePart{entry.die->x, entry.die->y, entry.site, hardBin, passed, partId});
      const auto [die, first] =
          wafer.dies.emplace(std::make_pair(entry.die->x, entry.die->y), passed);
      if (!first) {
        // A die tested again: its last result counts.
        ++wafer.retests;
        ++retests;
        if (die->second) {
          --wafer.good;
          --finalGood;
        }
        die->second = passed;
      }
      if (passed) ++wafer.good;
    }
    if (passed) ++finalGood;
    if (passed) {
      ++site.good;
      ++good;
      site.failsInRow = 0;
    } else {
      ++site.failsInRow;
    }
    tested.push_back(entry.site);
  }
  const std::string line = handler::binLine(bins);
  const bool sent = sendToHandler(line);
  const Clock::time_point binAt = Clock::now();
  workMicros += std::chrono::duration<double, std::micro>(binAt - passEnd).count();
  log.append(LogLine::Kind::station,
             "handler < " + line + (sent ? "" : " (not sent: no connection to the handler)"));
  // The handler asks again for parts it got no BIN for, once it is connected again: they were
  // tested, and get the same bins without being tested twice.
  if (sent) {
    unsentBin.reset();
  } else {
    unsentBin = UnsentBin{event.sites, line};
  }
  touchdownOpen = false;
  inProgress.clear();
  ++touchdowns;
  recent.push_back(Touchdown{event.at, binAt, event.sites.size()});
  if (recent.size() > RECENT) recent.pop_front();
  testTimes.push_back(std::chrono::duration<double, std::milli>(binAt - event.at).count());
  if (lastBin) {
    indexTimes.push_back(std::chrono::duration<double, std::milli>(event.at - *lastBin).count());
  }
  for (auto* times : {&testTimes, &indexTimes}) {
    if (times->size() > RECENT) times->pop_front();
  }
  lastBin = binAt;
  work.push_back(workMicros);
  if (work.size() > KEPT_WORK) work.pop_front();
  checkGuards(tested);
}

// Under the lock, after a touchdown's BIN.
void LotController::State::checkGuards(const std::vector<int>& tested) {
  const LotGuards& guards = request.guards;
  std::string tripped;
  for (const int number : tested) {
    const Site& site = sites[number];
    if (guards.siteFailsInRow > 0 && site.failsInRow >= guards.siteFailsInRow) {
      tripped = "site " + std::to_string(number) + " failed " + std::to_string(site.failsInRow) +
                " parts in a row";
      break;
    }
    const long counted = site.parts - site.guardParts;
    if (guards.siteYield.after > 0 && counted >= guards.siteYield.after &&
        percent(site.good - site.guardGood, counted) < guards.siteYield.percent) {
      tripped = "the yield of site " + std::to_string(number) + " is " +
                std::to_string(percent(site.good - site.guardGood, counted)).substr(0, 5) +
                "% after " + std::to_string(counted) + " parts, below " +
                std::to_string(guards.siteYield.percent).substr(0, 5) + "%";
      break;
    }
  }
  const long counted = parts - lotGuardParts;
  if (tripped.empty() && guards.lotYield.after > 0 && counted >= guards.lotYield.after &&
      percent(good - lotGuardGood, counted) < guards.lotYield.percent) {
    tripped = "the lot's yield is " +
              std::to_string(percent(good - lotGuardGood, counted)).substr(0, 5) + "% after " +
              std::to_string(counted) + " parts, below " +
              std::to_string(guards.lotYield.percent).substr(0, 5) + "%";
  }
  if (tripped.empty()) return;
  guardPaused = true;
  pauseReason = "guard: " + tripped;
  alarms.push_back(Alarm{localTime(), "yield guard tripped: " + tripped + "; the lot is paused"});
  log.append(LogLine::Kind::station, "alarm: yield guard tripped: " + tripped);
  if (!sentPause) {
    sentPause = true;
    log.append(LogLine::Kind::station, "handler < " + handler::PAUSE_LINE);
    sendToHandler(handler::PAUSE_LINE);
  }
}

void LotController::State::endLot(const std::string& why) {
  std::optional<Event> held;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (phase != Phase::running) return;
    held = std::move(heldSot);
    heldSot.reset();
  }
  if (held) {
    send(handler::errorLine("the lot ended before this touchdown was tested"));
    alarm("the lot ended with a touchdown not tested; its parts got no bin");
  }
  const CommandResult unloaded = session.unload();
  std::error_code error;
  fs::remove(options.lotFile, error);
  std::string summary;
  std::vector<std::string> lotFiles;
  {
    std::lock_guard<std::mutex> lock(mutex);
    phase = Phase::ended;
    endReason = why;
    touchdownOpen = false;
    inProgress.clear();
    unsentBin.reset();
    operatorPaused = guardPaused = false;
    char yield[32];
    std::snprintf(yield, sizeof yield, "%.1f", percent(finalGood, parts - retests));
    summary = "lot " + request.lotId + " ended (" + why + "): " + std::to_string(parts) + " parts" +
              (retests > 0 ? " (" + std::to_string(retests) + " retests)" : "") + ", " +
              std::to_string(finalGood) + " good (" + yield + " %)";
    if (onWafer && !wafers.empty()) wafers.back().ended = true;
    onWafer = false;  // the handler's own wafer state stays as its lines left it
    note(summary);
    lotFiles = files;
  }
  if (unloaded.outcome != CommandResult::Outcome::done) {
    alarm("the unload at the end of the lot failed: " + unloaded.message);
  }
  log.touch();
  // The lot's report beside its first datalog, for the page and for delivery.
  const std::string report = writeReport(lotFiles);
  {
    std::lock_guard<std::mutex> lock(mutex);
    reportPath = report;
  }
  if (!report.empty()) {
    note("the lot's report: " + report);
    lotFiles.push_back(report);
  }
  log.touch();
  if (options.onEnded) options.onEnded(lotFiles, summary);
}

LotController::LotController(LotOptions options, ProjectCatalog& catalog, StationSession& session,
                             EventLog& log, std::function<bool(const std::string&)> send)
    : state_(std::make_unique<State>(std::move(options), catalog, session, log, std::move(send))) {
  thread_ = std::thread(&LotController::loop, this);
}

LotController::~LotController() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
  thread_.join();
}

void LotController::post(Event event) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->events.push_back(std::move(event));
  }
  state_->wake.notify_all();
}

void LotController::loop() {
  State& s = *state_;
  for (;;) {
    Event event;
    {
      std::unique_lock<std::mutex> lock(s.mutex);
      // While a touchdown is held, only the operator's start and end go ahead of it.
      const auto urgent = [&] {
        return std::find_if(s.events.begin(), s.events.end(), [](const Event& e) {
          return e.kind == Event::Kind::start || e.kind == Event::Kind::end;
        });
      };
      const auto testing = [&] { return s.phase == State::Phase::running && !s.paused(); };
      s.wake.wait(lock, [&] {
        return s.stopping ||
               (s.heldSot ? testing() || urgent() != s.events.end() : !s.events.empty());
      });
      if (s.stopping) return;
      if (s.heldSot && testing()) {
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
        if (event.kind == Event::Kind::sot && !testing()) {
          s.heldSot = std::move(event);
          continue;
        }
      }
    }
    switch (event.kind) {
      case Event::Kind::start:
        event.answer->set_value(s.startLot(event.request));
        break;
      case Event::Kind::sot:
        s.touchdown(event);
        break;
      case Event::Kind::eol:
        s.endLot("end of lot from the handler");
        break;
      case Event::Kind::wafer:
        s.startWafer(event.waferId);
        break;
      case Event::Kind::eow:
        s.endWafer();
        break;
      case Event::Kind::end:
        s.endLot("ended by the operator");
        event.answer->set_value(LotAnswer{200, "the lot has ended"});
        break;
      case Event::Kind::stop:
        return;
    }
  }
}

LotAnswer LotController::start(const LotRequest& request) {
  Event event;
  event.kind = Event::Kind::start;
  event.request = request;
  event.answer = std::make_shared<std::promise<LotAnswer>>();
  std::future<LotAnswer> answer = event.answer->get_future();
  post(std::move(event));
  return answer.get();
}

LotAnswer LotController::end() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->phase != State::Phase::running) return {409, "no lot is running"};
  }
  Event event;
  event.kind = Event::Kind::end;
  event.answer = std::make_shared<std::promise<LotAnswer>>();
  std::future<LotAnswer> answer = event.answer->get_future();
  post(std::move(event));
  return answer.get();
}

LotAnswer LotController::pause() {
  State& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.phase != State::Phase::running) return {409, "no lot is running"};
    if (s.operatorPaused) return {200, "the lot is paused already"};
    s.operatorPaused = true;
    s.pauseReason = "paused by the operator";
    if (s.sentPause) return {200, "the lot is paused"};
    s.sentPause = true;
  }
  s.send(handler::PAUSE_LINE);
  s.note("paused by the operator");
  s.log.touch();
  return {200, "the lot is paused"};
}

LotAnswer LotController::resume() {
  State& s = *state_;
  bool tellHandler = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.phase != State::Phase::running) return {409, "no lot is running"};
    if (!s.operatorPaused && !s.guardPaused) {
      return {s.handlerAlarm ? 409 : 200, s.handlerAlarm ? "the handler's alarm is still on: it "
                                                           "resumes with its READY"
                                                         : "the lot is not paused"};
    }
    s.operatorPaused = s.guardPaused = false;
    s.pauseReason.clear();
    // The guards count afresh from here.
    for (auto& [number, site] : s.sites) {
      site.failsInRow = 0;
      site.guardParts = site.parts;
      site.guardGood = site.good;
    }
    s.lotGuardParts = s.parts;
    s.lotGuardGood = s.good;
    tellHandler = s.sentPause;
    s.sentPause = false;
  }
  if (tellHandler) s.send(handler::RESUME_LINE);
  s.note("resumed by the operator");
  s.wake.notify_all();
  s.log.touch();
  return {200, "the lot goes on"};
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
  return state_->phase == State::Phase::running;
}

void LotController::handlerConnection(bool connected, const std::string& what) {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->handlerConnected = connected;
  }
  state_->log.append(LogLine::Kind::station, what);
  state_->log.touch();
}

void LotController::handlerLine(const std::string& line, bool overlong) {
  State& s = *state_;
  s.log.append(LogLine::Kind::station,
               "handler > " + line.substr(0, 200) + (overlong ? "..." : ""));
  handler::HandlerMessage message;
  std::string error;
  std::string resend;
  bool ok = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    const int siteCount =
        s.phase == State::Phase::running ? static_cast<int>(s.devices.size()) : 255;
    if (overlong) {
      error = "a line longer than " + std::to_string(handler::MAX_LINE) + " bytes";
    } else if (handler::parseHandlerLine(line, siteCount, message, error)) {
      ok = true;
      const bool running = s.phase == State::Phase::running;
      switch (message.kind) {
        case handler::HandlerMessage::Kind::sot:
          // A SOT before the lot has started waits for it.
          if (s.touchdownOpen) {
            error = "a SOT before the BIN of the one before";
            ok = false;
          } else if (message.sites.front().die && !s.handlerOnWafer) {
            error = "a die position outside a wafer";
            ok = false;
          } else if (!message.sites.front().die && s.handlerOnWafer) {
            error = "a touchdown on a wafer without its dies' X,Y";
            ok = false;
          } else if (s.unsentBin && sameSites(s.unsentBin->sites, message.sites)) {
            resend = s.unsentBin->line;
            s.unsentBin.reset();
          } else {
            s.unsentBin.reset();
            s.touchdownOpen = true;
            Event event;
            event.kind = Event::Kind::sot;
            event.sites = message.sites;
            event.at = Clock::now();
            s.events.push_back(std::move(event));
            s.wake.notify_all();
          }
          break;
        case handler::HandlerMessage::Kind::eol:
          if (!running) {
            error = "no lot is running";
            ok = false;
          } else {
            Event event;
            event.kind = Event::Kind::eol;
            s.events.push_back(std::move(event));
            s.wake.notify_all();
          }
          break;
        case handler::HandlerMessage::Kind::alarm:
          s.handlerAlarm = true;
          break;
        case handler::HandlerMessage::Kind::ready:
          s.handlerAlarm = false;
          s.wake.notify_all();
          break;
        case handler::HandlerMessage::Kind::wafer:
        case handler::HandlerMessage::Kind::eow: {
          const bool starts = message.kind == handler::HandlerMessage::Kind::wafer;
          if (starts == s.handlerOnWafer) {
            error =
                starts ? "a WAFER before the EOW of the wafer before" : "an EOW outside a wafer";
          } else if (s.touchdownOpen) {
            error = "a " + std::string(starts ? "WAFER" : "EOW") + " before the BIN of the SOT";
          } else {
            s.handlerOnWafer = starts;
            Event event;
            event.kind = starts ? Event::Kind::wafer : Event::Kind::eow;
            event.waferId = message.text;
            s.events.push_back(std::move(event));
            s.wake.notify_all();
            break;
          }
          ok = false;
          break;
        }
      }
    }
  }
  if (!ok) {
    s.send(handler::errorLine(error));
    s.alarm("the handler sent a line the station refused (" + error + "): " + line.substr(0, 200));
    return;
  }
  if (!resend.empty()) {
    s.note("the handler asked again for the parts of the last touchdown; they were tested");
    s.send(resend);
    return;
  }
  if (message.kind == handler::HandlerMessage::Kind::alarm) {
    s.alarm("handler: " + (message.text.empty() ? std::string("alarm") : message.text) +
            "; the lot is paused until the handler is READY");
  } else if (message.kind == handler::HandlerMessage::Kind::ready) {
    s.note("the handler is ready again");
    s.log.touch();
  }
}

std::vector<double> LotController::stationWork() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return {state_->work.begin(), state_->work.end()};
}

std::string LotController::reportPath() const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->reportPath;
}

std::string LotController::waferJson(const std::string& id, std::size_t from) const {
  const State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const auto wafer = std::find_if(s.wafers.rbegin(), s.wafers.rend(),
                                  [&](const State::Wafer& w) { return w.id == id; });
  if (wafer == s.wafers.rend()) return "";
  nlohmann::json parts = nlohmann::json::array();
  for (std::size_t i = from; i < wafer->parts.size(); ++i) {
    const State::DiePart& part = wafer->parts[i];
    parts.push_back({part.x, part.y, part.site, part.hardBin, part.passed, part.partId});
  }
  return nlohmann::json{{"id", wafer->id},
                        {"from", from},
                        {"next", wafer->parts.size()},
                        {"ended", wafer->ended},
                        {"parts", parts}}
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string LotController::json() const {
  const State& s = *state_;
  std::lock_guard<std::mutex> lock(s.mutex);
  const char* phase = "idle";
  if (s.phase == State::Phase::running) phase = s.paused() ? "paused" : "running";
  if (s.phase == State::Phase::ended) phase = "ended";
  nlohmann::json alarms = nlohmann::json::array();
  for (const State::Alarm& alarm : s.alarms) {
    alarms.push_back({{"time", alarm.time}, {"text", alarm.text}});
  }
  const LotRequest& r = s.request;
  nlohmann::json body = {{"state", phase},
                         {"handler",
                          {{"configured", s.options.handlerConfigured},
                           {"connected", s.handlerConnected},
                           {"state", s.handlerState()}}},
                         {"pauseReason", s.handlerAlarm ? "the handler's alarm" : s.pauseReason},
                         {"alarms", alarms}};
  if (s.phase != State::Phase::idle) {
    body["lot"] = {{"project", r.project},         {"flow", r.flow},
                   {"setting", r.setting},         {"lotId", r.lotId},
                   {"sublotId", r.sublotId},       {"operator", r.operatorName},
                   {"partType", r.partType},       {"testCode", r.testCode},
                   {"temperature", r.temperature}, {"retest", std::string(1, r.retestCode)},
                   {"startedAt", s.startedAt},     {"datalogs", s.files}};
    body["figures"] = s.figures();
    if (s.phase == State::Phase::ended) body["endReason"] = s.endReason;
    if (!s.reportPath.empty()) body["lot"]["report"] = s.reportPath;
  }
  return body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}
