#include "datalog/datalog.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "AteVersion.h"
#include "datalog/DatalogRules.h"
#include "datalog/LotFile.h"
#include "datalog/StdfRecord.h"

namespace datalog {

namespace {

namespace field = stdf::field;
namespace flag = stdf::flag;
using stdf::ALL_HEADS;  // summaries over every site
using stdf::ALL_SITES;
using stdf::DTR_RECORD;
using stdf::FAR_RECORD;
using stdf::FTR_RECORD;
using stdf::HBR_RECORD;
using stdf::MIR_RECORD;
using stdf::MRR_RECORD;
using stdf::PCR_RECORD;
using stdf::PIR_RECORD;
using stdf::PRR_RECORD;
using stdf::PTR_RECORD;
using stdf::SBR_RECORD;
using stdf::SDR_RECORD;
using stdf::TSR_RECORD;
using stdf::WCR_RECORD;
using stdf::WIR_RECORD;
using stdf::WRR_RECORD;

constexpr std::uint8_t PART_HEAD = 1;
// A PTR's bytes from TEST_NUM to RESULT (4 + 1 + 1 + 1 + 1 + 4).
constexpr std::size_t PTR_FIXED = 12;
constexpr std::uint32_t MISSING_U4 = 4294967295u;
constexpr std::size_t MAX_SITES = 255;
// Passes kept in memory while the file can't be written; older ones are dropped past this.
constexpr std::size_t MAX_PENDING = 64u << 20;

void complain(const std::string& line) {
  const std::string text = line + "\n";
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// A value as its shortest text that reads back the same.
std::string shortest(double value) {
  char text[32];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  return std::string(text, end);
}

// A test name as one word of a DTR: letters, digits, '.', '-' and '_' kept, others '_'.
std::string patName(const std::string& name) {
  std::string word;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || (c == '.' && !word.empty());
    word += plain ? c : '_';
  }
  return word.empty() ? "-" : word;
}

std::uint32_t secondsNow() { return static_cast<std::uint32_t>(std::time(nullptr)); }

// Running statistics of one test on one site.
struct Stats {
  std::uint32_t executions = 0;
  std::uint32_t fails = 0;
  std::uint32_t values = 0;  // finite values among the executions
  double min = 0.0;
  double max = 0.0;
  double sum = 0.0;
  double squares = 0.0;

  void add(bool passed, bool hasValue, double value) {
    ++executions;
    if (!passed) ++fails;
    if (!hasValue || !std::isfinite(value)) return;
    if (values == 0 || value < min) min = value;
    if (values == 0 || value > max) max = value;
    ++values;
    sum += value;
    squares += value * value;
  }
  void merge(const Stats& other) {
    if (other.executions == 0) return;
    if (other.values > 0) {
      if (values == 0 || other.min < min) min = other.min;
      if (values == 0 || other.max > max) max = other.max;
    }
    executions += other.executions;
    fails += other.fails;
    values += other.values;
    sum += other.sum;
    squares += other.squares;
  }
};

bool sameText(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// A station's static outlier limits, applied as values are recorded.
struct PatStatic {
  std::map<std::uint32_t, std::pair<double, double>> limits;
  std::uint16_t hardBin = 11, softBin = 11;
  std::string binName;
};

// The first value of a part that was inside its test limits and outside its outlier limits.
struct PatHit {
  std::uint32_t testNumber = 0;
  const std::string* name = nullptr;
  double value = 0, low = 0, high = 0;
};

// One pass of one execution thread. Only that thread touches it until endPass hands it over.
struct Pass {
  struct Part {
    std::vector<bool> met;  // by the plan's item index
    int firstFailed = -1;
    std::uint32_t tests = 0;
    std::optional<PatHit> pat;
  };

  std::uint64_t generation = 0;  // of the datalog it was started in
  std::vector<std::string> devices;
  std::vector<std::uint8_t> sites;  // of each device: its site in the lot, else position + 1
  std::chrono::steady_clock::time_point start;
  std::shared_ptr<const Plan> plan;
  std::vector<Part> parts;
  std::vector<Stats> stats;      // by testIndex * devices + device
  std::vector<bool> functional;  // by testIndex: recorded without values
  std::string records;           // the PTRs and FTRs in the order recorded
  bool failstop = false;         // the pass ran under fail-stop (as its test functions were told)
  std::string wafer;             // a station's touchdown on a wafer: its id; else empty
  std::vector<std::optional<std::pair<int, int>>> dies;  // of each device: its X,Y on the wafer
  // A station's touchdown: the PART_ID it gave each device's part, and whether that part was
  // tested before (a retest of its id, or of its die).
  std::vector<std::optional<std::uint64_t>> partIds;
  std::vector<bool> retests;
  std::shared_ptr<const PatStatic> pat;  // a station's lot with static outlier limits
  bool broken = false;  // the flow changed within the pass: nothing of it is written
  bool ended = false;

  // Test functions mostly record all of one device, then the next: the last hit is tried first
  // (compared here, as device names are short).
  int deviceIndex(const std::string& device) {
    if (lastDevice < devices.size() && sameText(devices[lastDevice], device)) {
      return static_cast<int>(lastDevice);
    }
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (devices[i] == device) {
        lastDevice = i;
        return static_cast<int>(i);
      }
    }
    return -1;
  }
  std::size_t lastDevice = 0;
};

struct TestSummary {
  std::string name;
  std::string label;  // the test item's funcName
  bool functional = false;
  std::map<std::uint8_t, Stats> sites;
  Stats all;
};

struct BinSummary {
  std::string name;
  bool good = false;
  std::map<std::uint8_t, std::uint32_t> sites;
  std::uint32_t all = 0;
};

struct PartCounts {
  std::uint32_t parts = 0;
  std::uint32_t retests = 0;
  std::uint32_t good = 0;
  std::uint32_t abnormal = 0;
};

// The wafer being tested: from its WIR until a pass on another wafer (or none) writes its WRR.
// Until then its WRR, as it stands, goes with the summaries at the end of the file.
struct OpenWafer {
  std::string id;
  std::uint32_t finish = 0;
  std::uint32_t parts = 0;
  std::uint32_t retests = 0;
  std::uint32_t aborts = 0;
  std::uint32_t good = 0;                    // dies whose last part passed
  std::map<std::pair<int, int>, bool> dies;  // the last result of each X,Y
};

// The process's datalog. Everything in it is guarded by mutex.
class Datalog {
 public:
  ~Datalog() { closeFile(); }

  bool open(const Lot& lot);
  std::string path() {
    std::lock_guard<std::mutex> lock(mutex);
    return path_;
  }
  void close() {
    std::lock_guard<std::mutex> lock(mutex);
    closeFile();
  }
  void startPass(const DUTSetting& duts);
  void endPass();
  std::shared_ptr<const Plan> planFor(const FlowMessage& flow);
  std::shared_ptr<Pass> currentPass();
  std::string lotId() {
    std::lock_guard<std::mutex> lock(mutex);
    return lot_.lotId;
  }

 private:
  void closeFile();
  void resetCounters();
  void applyLotFile(const LotFile& station);
  std::string encodeHeader() const;
  std::string encodeSummaries(std::uint32_t finish) const;
  void merge(const Pass& pass, std::string& out);
  void changeWafer(const std::string& id, std::string& out);
  static void encodeWrr(const OpenWafer& wafer, std::string& out);

  std::mutex mutex;
  std::FILE* file_ = nullptr;
  std::string path_;
  Lot lot_;
  std::uint32_t started_ = 0;
  std::fpos_t summaryStart_{};
  std::string pending_;  // finished passes not yet in the file (after a failed write)
  bool writeFailing_ = false;
  std::uint64_t generation_ = 0;
  std::uint64_t nextPartId_ = 1;
  char retestCode_ = ' ';                         // MIR RTST_COD
  std::map<std::string, std::uint8_t> lotSites_;  // a station's lot: device -> site
  std::string touchdownFile_;                     // a station's lot: each pass's wafer and dies
  std::vector<LotFile::ProgramFile> program_;     // a station's lot: its program's files
  std::string auditHead_;                         // a station's lot: the audit trail's anchor
  bool touchdownComplained_ = false;
  std::shared_ptr<const PatStatic> pat_;  // a station's lot: static outlier limits
  WaferConfig waferConfig_;
  bool wcrWritten_ = false;
  std::optional<OpenWafer> wafer_;
  std::set<std::uint8_t> describedSites_;
  std::uint8_t siteGroups_ = 0;
  std::map<std::uint32_t, TestSummary> tests_;
  std::map<std::uint16_t, BinSummary> hardBins_;
  std::map<std::uint16_t, BinSummary> softBins_;
  std::map<std::uint8_t, PartCounts> siteCounts_;
  PartCounts allCounts_;
  // Flows seen, read once each, and what has been said about them in this datalog.
  std::map<std::uint64_t, std::shared_ptr<const Plan>> plans_;
  std::shared_ptr<const Plan> lastPlan_;
  std::set<std::string> warned_;
  bool renumberAnnounced_ = false;
  // The pass in progress of each execution thread.
  std::map<std::thread::id, std::shared_ptr<Pass>> passes_;
  std::size_t recordsBefore_ = 0;  // bytes of test records the last pass ended with
  bool noDatalogSaid_ = false;
};

// The fields of a parameter's PTRs after RESULT, alike in every one of them.
std::string encodePtrTail(const PlanParam& param) {
  std::string out;
  {
    const Limits& limits = param.limits;
    // OPT_FLAG: no LO_SPEC, no HI_SPEC, and no low or high test limit where the side has none.
    const auto optFlags = static_cast<std::uint8_t>(
        flag::OPT_RESERVED | flag::OPT_NO_LOW_SPEC | flag::OPT_NO_HIGH_SPEC |
        (limits.low.present ? 0 : flag::OPT_NO_LOW_LIMIT) |
        (limits.high.present ? 0 : flag::OPT_NO_HIGH_LIMIT));
    Record tail(out, PTR_RECORD);
    tail.cn(param.name).emptyCn().u1(optFlags).u1(0).u1(0).u1(0);
    tail.r4(static_cast<float>(limits.low.value)).r4(static_cast<float>(limits.high.value));
    tail.cn(param.unit).emptyCn(3).r4(0.0f).r4(0.0f);
  }
  return out.substr(4);  // without the header
}

Datalog& datalogState() {
  static Datalog state;
  return state;
}

std::string fileComponent(const std::string& text) {
  std::string out;
  for (char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '.';
    out.push_back(plain ? c : '_');
  }
  return out;
}

std::string localStamp() {
  const std::time_t now = std::time(nullptr);
  char text[32] = "00000000_000000";
  // localtime's buffer is shared; every caller here holds the datalog's mutex.
  if (const std::tm* local = std::localtime(&now)) {
    std::strftime(text, sizeof text, "%Y%m%d_%H%M%S", local);
  }
  return text;
}

void Datalog::resetCounters() {
  nextPartId_ = 1;
  retestCode_ = ' ';
  lotSites_.clear();
  touchdownFile_.clear();
  pat_.reset();
  program_.clear();
  auditHead_.clear();
  touchdownComplained_ = false;
  waferConfig_ = WaferConfig();
  wcrWritten_ = false;
  wafer_.reset();
  describedSites_.clear();
  siteGroups_ = 0;
  tests_.clear();
  hardBins_.clear();
  softBins_.clear();
  siteCounts_.clear();
  allCounts_ = PartCounts();
  warned_.clear();
  renumberAnnounced_ = false;
  writeFailing_ = false;
  noDatalogSaid_ = false;
  pending_.clear();
}

void Datalog::closeFile() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  path_.clear();
  ++generation_;
}

void Datalog::applyLotFile(const LotFile& station) {
  const auto take = [&](const char* key, std::string& field) {
    const auto found = station.mir.find(key);
    if (found != station.mir.end()) field = found->second;
  };
  take("LOT_ID", lot_.lotId);
  take("SBLOT_ID", lot_.sublotId);
  take("PART_TYP", lot_.partType);
  take("OPER_NAM", lot_.operatorName);
  take("TEST_COD", lot_.testCode);
  take("TST_TEMP", lot_.testTemperature);
  take("NODE_NAM", lot_.nodeName);
  take("JOB_NAM", lot_.jobName);
  take("JOB_REV", lot_.jobRevision);
  program_ = station.program;
  auditHead_ = station.auditHead;
  if (station.mir.count("MODE_COD") != 0) lot_.modeCode = station.mir.at("MODE_COD")[0];
  if (station.mir.count("RTST_COD") != 0) retestCode_ = station.mir.at("RTST_COD")[0];
  nextPartId_ = station.firstPartId;
  lotSites_ = station.sites;
  touchdownFile_ = station.touchdownFile;
  waferConfig_ = station.wafer;
  if (!station.patLimits.empty()) {
    auto pat = std::make_shared<PatStatic>();
    pat->limits = station.patLimits;
    pat->hardBin = station.patHardBin;
    pat->softBin = station.patSoftBin;
    pat->binName = station.patBinName;
    pat_ = std::move(pat);
  }
}

bool Datalog::open(const Lot& lot) {
  std::lock_guard<std::mutex> lock(mutex);
  closeFile();
  resetCounters();
  lot_ = lot;
  // A station testing a lot names it, and the file, in the lot file; that goes before what the
  // project's prj_init gave.
  std::string lotFile;
  if (const char* named = std::getenv("ATE_LOT_FILE")) {
    std::ifstream in(named, std::ios::binary);
    if (in) {
      const std::string text((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
      LotFile station;
      std::string why;
      if (parseLotFile(text, station, why)) {
        applyLotFile(station);
        lotFile = station.file;
      } else {
        complain("datalog: the station's lot file " + std::string(named) + ": " + why +
                 "; the lot is logged as prj_init named it");
      }
    }
  }
  if (lot_.nodeName.empty()) {
    for (const char* variable : {"COMPUTERNAME", "HOSTNAME"}) {
      if (const char* value = std::getenv(variable)) {
        lot_.nodeName = value;
        break;
      }
    }
  }
  std::filesystem::path folder = lot.folder;
  if (folder.empty()) {
    const char* configured = std::getenv("ATE_DATALOG_DIR");
    folder = configured != nullptr && *configured != '\0' ? configured : "datalog";
  }
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  if (error) {
    complain("datalog: cannot make the folder " + folder.string() + ": " + error.message() +
             "; nothing is logged");
    return false;
  }
  std::string stem;
  for (const std::string* part : {&lot.partType, &lot.lotId}) {
    if (!part->empty()) stem += fileComponent(*part) + "_";
  }
  stem += localStamp();
  std::filesystem::path chosen = folder / (stem + ".stdf");
  if (!lotFile.empty()) {
    chosen = std::filesystem::u8path(lotFile);
    std::filesystem::create_directories(chosen.parent_path(), error);
    stem = (chosen.parent_path() / chosen.stem()).u8string();
  }
  // Never over a file that is there already.
  for (int n = 2; std::filesystem::exists(chosen, error) && n < 10000; ++n) {
    chosen = lotFile.empty() ? folder / (stem + "_" + std::to_string(n) + ".stdf")
                             : std::filesystem::u8path(stem + "_" + std::to_string(n) + ".stdf");
  }
  const std::string name = chosen.string();
  std::FILE* file = std::fopen(name.c_str(), "wb");
  if (file == nullptr) {
    complain("datalog: cannot create " + name + ": " + std::strerror(errno) +
             "; nothing is logged");
    return false;
  }
  // Every write is one whole pass, handed to the system at once.
  std::setvbuf(file, nullptr, _IONBF, 0);
  started_ = secondsNow();
  const std::string header = encodeHeader();
  const std::string summaries = encodeSummaries(started_);
  const std::string all = header + summaries;
  if (std::fwrite(all.data(), 1, all.size(), file) != all.size() || std::fflush(file) != 0 ||
      std::fseek(file, static_cast<long>(header.size()), SEEK_SET) != 0 ||
      std::fgetpos(file, &summaryStart_) != 0) {
    complain("datalog: cannot write " + name + ": " + std::strerror(errno) + "; nothing is logged");
    std::fclose(file);
    return false;
  }
  file_ = file;
  path_ = name;
  return true;
}

std::string Datalog::encodeHeader() const {
  std::string out;
  Record(out, FAR_RECORD).u1(2).u1(4);
  {
    Record mir(out, MIR_RECORD);
    mir.u4(started_).u4(started_).u1(1).c1(lot_.modeCode).c1(retestCode_).c1(' ');
    mir.u2(65535).c1(' ');
    mir.cn(lot_.lotId).cn(lot_.partType).cn(lot_.nodeName).cn(lot_.testerType);
    mir.cn(lot_.jobName).cn(lot_.jobRevision).cn(lot_.sublotId).cn(lot_.operatorName);
    mir.cn("ate").cn(ATE_VERSION).cn(lot_.testCode).cn(lot_.testTemperature);
    // USER_TXT to SUPR_NAM: nothing to say.
    mir.emptyCn(field::MIR_SUPR_NAM - field::MIR_USER_TXT + 1);
  }
  // A station's lot: its program's files and the audit trail's anchor (docs/datalog.md).
  for (const LotFile::ProgramFile& file : program_) {
    Record(out, DTR_RECORD)
        .cn("ate:program " + file.role + " sha256=" + file.sha256 + " path=" + file.path);
  }
  if (!auditHead_.empty()) Record(out, DTR_RECORD).cn("ate:audit sha256=" + auditHead_);
  return out;
}

std::string Datalog::encodeSummaries(std::uint32_t finish) const {
  std::string out;
  if (wafer_) encodeWrr(*wafer_, out);
  const auto tsr = [&out](std::uint8_t head, std::uint8_t site, std::uint32_t number,
                          const TestSummary& test, const Stats& stats) {
    Record r(out, TSR_RECORD);
    r.u1(head).u1(site).c1(test.functional ? 'F' : 'P').u4(number);
    r.u4(stats.executions).u4(stats.fails).u4(MISSING_U4);
    r.cn(test.name).cn("").cn(test.label);
    // No test time; no values either when none was finite.
    const std::uint64_t noValues =
        flag::TSR_NO_MIN | flag::TSR_NO_MAX | flag::TSR_NO_SUMS | flag::TSR_NO_SQUARES;
    r.u1(static_cast<std::uint8_t>(flag::TSR_RESERVED | flag::TSR_NO_TIME |
                                   (stats.values > 0 ? 0 : noValues)))
        .r4(0.0f);
    r.r4(static_cast<float>(stats.min)).r4(static_cast<float>(stats.max));
    r.r4(static_cast<float>(stats.sum)).r4(static_cast<float>(stats.squares));
  };
  for (const auto& [number, test] : tests_) {
    for (const auto& [site, stats] : test.sites) tsr(PART_HEAD, site, number, test, stats);
    tsr(ALL_HEADS, ALL_SITES, number, test, test.all);
  }
  const auto bins = [&out](RecordType type, const std::map<std::uint16_t, BinSummary>& table) {
    for (const auto& [number, bin] : table) {
      for (const auto& [site, count] : bin.sites) {
        Record(out, type)
            .u1(PART_HEAD)
            .u1(site)
            .u2(number)
            .u4(count)
            .c1(bin.good ? 'P' : 'F')
            .cn(bin.name);
      }
    }
    for (const auto& [number, bin] : table) {
      Record(out, type)
          .u1(ALL_HEADS)
          .u1(ALL_SITES)
          .u2(number)
          .u4(bin.all)
          .c1(bin.good ? 'P' : 'F')
          .cn(bin.name);
    }
  };
  bins(HBR_RECORD, hardBins_);
  bins(SBR_RECORD, softBins_);
  const auto pcr = [&out](std::uint8_t head, std::uint8_t site, const PartCounts& counts) {
    Record(out, PCR_RECORD)
        .u1(head)
        .u1(site)
        .u4(counts.parts)
        .u4(counts.retests)
        .u4(counts.abnormal)
        .u4(counts.good)
        .u4(MISSING_U4);
  };
  for (const auto& [site, counts] : siteCounts_) pcr(PART_HEAD, site, counts);
  pcr(ALL_HEADS, ALL_SITES, allCounts_);
  Record(out, MRR_RECORD).u4(finish).c1(' ').cn("").cn("");
  return out;
}

std::shared_ptr<const Plan> Datalog::planFor(const FlowMessage& flow) {
  const std::uint64_t fingerprint = flowFingerprint(flow);
  std::lock_guard<std::mutex> lock(mutex);
  auto found = plans_.find(fingerprint);
  if (found == plans_.end()) {
    // A handful of flows at most in a process's life; keep the latest few.
    if (plans_.size() >= 8) plans_.clear();
    auto plan = std::make_shared<Plan>(buildPlan(flow));
    for (PlanItem& item : plan->items) {
      for (PlanParam& param : item.params) param.ptrTail = encodePtrTail(param);
    }
    found = plans_.emplace(fingerprint, std::move(plan)).first;
  }
  const Plan& plan = *found->second;
  for (const auto& [key, line] : plan.warnings) {
    if (warned_.insert(key).second) complain(line);
  }
  if (plan.renumbered && !renumberAnnounced_) {
    renumberAnnounced_ = true;
    complain(
        "datalog: paramIds repeat across the flow's test items; tests are numbered "
        "funcId * 1000 + paramId");
  }
  lastPlan_ = found->second;
  return found->second;
}

std::shared_ptr<Pass> Datalog::currentPass() {
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = passes_.find(std::this_thread::get_id());
  return found == passes_.end() ? nullptr : found->second;
}

void Datalog::startPass(const DUTSetting& duts) {
  auto pass = std::make_shared<Pass>();
  pass->devices = duts.selectDUT;
  if (pass->devices.size() > MAX_SITES) {
    complain("datalog: " + std::to_string(pass->devices.size()) +
             " devices in the pass; only the first " + std::to_string(MAX_SITES) + " are logged");
    pass->devices.resize(MAX_SITES);
  }
  pass->parts.resize(pass->devices.size());
  pass->sites.resize(pass->devices.size());
  pass->start = std::chrono::steady_clock::now();
  // In a station's lot, the touchdown's wafer and dies, which the station wrote before it
  // started the pass; read before the datalog is locked, so that no other thread waits for it.
  std::string touchdownFile;
  {
    std::lock_guard<std::mutex> lock(mutex);
    touchdownFile = touchdownFile_;
  }
  Touchdown touchdown;
  std::string why;
  bool touchdownRead = true;
  if (!touchdownFile.empty()) {
    std::ifstream in(touchdownFile, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    touchdownRead = in.is_open() && !in.bad() && parseTouchdownFile(text, touchdown, why);
  }
  std::lock_guard<std::mutex> lock(mutex);
  pass->dies.resize(pass->devices.size());
  pass->partIds.resize(pass->devices.size());
  pass->retests.resize(pass->devices.size());
  for (std::size_t i = 0; i < pass->devices.size(); ++i) {
    const auto site = lotSites_.find(pass->devices[i]);
    pass->sites[i] = site != lotSites_.end() ? site->second : static_cast<std::uint8_t>(i + 1);
    const auto die = touchdown.dies.find(pass->sites[i]);
    if (die != touchdown.dies.end()) pass->dies[i] = die->second;
    const auto id = touchdown.partIds.find(pass->sites[i]);
    if (id != touchdown.partIds.end()) pass->partIds[i] = id->second;
    const auto retest = touchdown.retests.find(pass->sites[i]);
    pass->retests[i] = retest != touchdown.retests.end() && retest->second;
  }
  pass->wafer = touchdown.wafer;
  pass->pat = pat_;
  if (!touchdownRead && !touchdownComplained_) {
    touchdownComplained_ = true;
    complain("datalog: the station's touchdown file " + touchdownFile + ": " +
             (why.empty() ? std::string("cannot be read") : why) +
             "; parts are logged without their wafer");
  }
  pass->generation = generation_;
  // Room for as many records as the pass before had: a pass's records grow value by value.
  pass->records.reserve(recordsBefore_);
  if (file_ == nullptr && !noDatalogSaid_) {
    noDatalogSaid_ = true;
    complain("datalog: no datalog is open; the pass is not logged");
  }
  auto& slot = passes_[std::this_thread::get_id()];
  if (slot && !slot->ended) {
    complain("datalog: a pass started before the last one ended; the unfinished one is dropped");
    slot->ended = true;
  }
  slot = std::move(pass);
}

void Datalog::encodeWrr(const OpenWafer& wafer, std::string& out) {
  Record(out, WRR_RECORD)
      .u1(PART_HEAD)
      .u1(ALL_SITES)  // SITE_GRP: the wafer's parts came from every site
      .u4(wafer.finish)
      .u4(wafer.parts)
      .u4(wafer.retests)
      .u4(wafer.aborts)
      .u4(wafer.good)
      .u4(wafer.parts - wafer.aborts)
      .cn(wafer.id)
      .emptyCn(field::WRR_EXC_DESC - field::WRR_FABWF_ID + 1);
}

// Before a pass on wafer id (empty: on none): the WRR of the wafer before when it was another,
// and the lot's WCR (once) and the wafer's WIR when it is a new one.
void Datalog::changeWafer(const std::string& id, std::string& out) {
  if (wafer_ && wafer_->id == id) return;
  if (wafer_) {
    encodeWrr(*wafer_, out);
    wafer_.reset();
  }
  if (id.empty()) return;
  if (!wcrWritten_) {
    wcrWritten_ = true;
    const WaferConfig& w = waferConfig_;
    Record(out, WCR_RECORD)
        .r4(w.size)
        .r4(w.dieHeight)
        .r4(w.dieWidth)
        .u1(w.units)
        .c1(w.flat)
        .i2(w.centerX)
        .i2(w.centerY)
        .c1(w.posX)
        .c1(w.posY);
  }
  const std::uint32_t now = secondsNow();
  Record(out, WIR_RECORD).u1(PART_HEAD).u1(ALL_SITES).u4(now).cn(id);
  wafer_ = OpenWafer{id, now, 0, 0, 0, 0, {}};
}

// Folds a finished pass into the counters and appends its records to out.
void Datalog::merge(const Pass& pass, std::string& out) {
  std::vector<std::uint8_t> newSites;
  for (const std::uint8_t site : pass.sites) {
    if (describedSites_.count(site) == 0) newSites.push_back(site);
  }
  std::sort(newSites.begin(), newSites.end());
  if (!newSites.empty()) {
    Record sdr(out, SDR_RECORD);
    sdr.u1(PART_HEAD).u1(++siteGroups_).u1(static_cast<std::uint8_t>(newSites.size()));
    for (std::uint8_t site : newSites) {
      sdr.u1(site);
      describedSites_.insert(site);
    }
    // HAND_TYP to EXTR_ID: nothing to say.
    sdr.emptyCn(field::SDR_EXTR_ID - field::SDR_HAND_TYP + 1);
  }
  changeWafer(pass.wafer, out);
  for (std::size_t i = 0; i < pass.devices.size(); ++i) {
    Record(out, PIR_RECORD).u1(PART_HEAD).u1(pass.sites[i]);
  }
  out += pass.records;
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - pass.start)
                           .count();
  const std::vector<PlanItem>* items = pass.plan ? &pass.plan->items : nullptr;
  std::vector<std::vector<bool>> met;  // of every part, once one is incomplete
  std::vector<int> firstFailed;
  for (std::size_t i = 0; i < pass.devices.size(); ++i) {
    const Pass::Part& part = pass.parts[i];
    const std::uint8_t site = pass.sites[i];
    BinChoice bin =
        chooseBin(items, part.met, part.firstFailed, lot_.incompleteBin, lot_.incompleteBinName);
    // A good part with a value outside its outlier limits: the outlier bin.
    const bool outlier = bin.good && part.pat && pass.pat;
    if (outlier) {
      bin.hardBin = pass.pat->hardBin;
      bin.softBin = pass.pat->softBin;
      bin.name = pass.pat->binName;
      bin.good = false;
    }
    if (bin.abnormal) {
      // Why, in a DTR just before the part's PRR: "site N not completed: ...".
      if (met.empty()) {
        for (const Pass::Part& each : pass.parts) {
          met.push_back(each.met);
          firstFailed.push_back(each.firstFailed);
        }
      }
      Record(out, DTR_RECORD)
          .cn("site " + std::to_string(site) +
              " not completed: " + incompleteReason(items, met, firstFailed, i, pass.failstop));
    }
    const std::optional<std::pair<int, int>>& die = pass.dies[i];
    const bool onDie = wafer_ && die;
    // The station says so of a part tested before a restart, which this file hasn't seen.
    bool retest = pass.retests[i];
    if (onDie) {
      // A die tested again on its wafer supersedes its earlier part; its last result counts.
      const auto [last, first] = wafer_->dies.emplace(*die, bin.good);
      retest = retest || !first;
      if (!first && last->second) --wafer_->good;
      if (retest) ++wafer_->retests;
      last->second = bin.good;
      ++wafer_->parts;
      if (bin.good) ++wafer_->good;
      if (bin.abnormal) ++wafer_->aborts;
      wafer_->finish = secondsNow();
    }
    const auto retestFlag = !retest ? 0 : onDie ? flag::PART_RETEST_OF_XY : flag::PART_RETEST_OF_ID;
    const auto flags = static_cast<std::uint8_t>((bin.abnormal ? flag::PART_ABNORMAL_END : 0) |
                                                 (bin.good ? 0 : flag::PART_FAILED) | retestFlag);
    std::uint64_t partId = nextPartId_;
    if (pass.partIds[i]) partId = *pass.partIds[i];
    nextPartId_ = std::max(nextPartId_, partId + 1);
    Record(out, PRR_RECORD)
        .u1(PART_HEAD)
        .u1(site)
        .u1(flags)
        .u2(static_cast<std::uint16_t>(std::min<std::uint32_t>(part.tests, 65535)))
        .u2(bin.hardBin)
        .u2(bin.softBin)
        .i2(die && wafer_ ? static_cast<std::int16_t>(die->first) : std::int16_t{-32768})
        .i2(die && wafer_ ? static_cast<std::int16_t>(die->second) : std::int16_t{-32768})
        .u4(static_cast<std::uint32_t>(elapsed))
        .cn(std::to_string(partId))
        .cn(pass.devices[i])
        .emptyCn();
    if (outlier) {
      // As ate-datalog pat apply names its outliers.
      const PatHit& hit = *part.pat;
      Record(out, DTR_RECORD)
          .cn("ate:pat rule=static test=" + std::to_string(hit.testNumber) +
              " name=" + patName(*hit.name) + " value=" + shortest(hit.value) +
              " low=" + shortest(hit.low) + " high=" + shortest(hit.high) +
              " hbin=" + std::to_string(bin.hardBin) + " sbin=" + std::to_string(bin.softBin));
    }
    for (auto* table : {&hardBins_, &softBins_}) {
      BinSummary& summary = (*table)[table == &hardBins_ ? bin.hardBin : bin.softBin];
      if (summary.name.empty()) summary.name = bin.name;
      summary.good = bin.good;
      ++summary.sites[site];
      ++summary.all;
    }
    for (PartCounts* counts : {&siteCounts_[site], &allCounts_}) {
      ++counts->parts;
      if (retest) ++counts->retests;
      if (bin.good) ++counts->good;
      if (bin.abnormal) ++counts->abnormal;
    }
  }
  if (!pass.plan) return;
  const std::size_t devices = pass.devices.size();
  for (const PlanItem& item : pass.plan->items) {
    for (const PlanParam& param : item.params) {
      TestSummary* test = nullptr;
      for (std::size_t d = 0; d < devices; ++d) {
        const Stats& stats = pass.stats[param.testIndex * devices + d];
        if (stats.executions == 0) continue;
        if (test == nullptr) {
          test = &tests_[param.testNumber];
          if (test->name.empty()) {
            test->name = param.name;
            test->label = item.funcName;
          }
          test->functional = pass.functional[param.testIndex];
        }
        test->sites[pass.sites[d]].merge(stats);
        test->all.merge(stats);
      }
    }
  }
}

void Datalog::endPass() {
  std::shared_ptr<Pass> pass;
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = passes_.find(std::this_thread::get_id());
  if (found == passes_.end() || found->second->ended) {
    complain("datalog: a pass ended that was never started on this thread; nothing is written");
    return;
  }
  pass = std::move(found->second);
  passes_.erase(found);
  pass->ended = true;
  recordsBefore_ = std::min<std::size_t>(pass->records.size(), MAX_PENDING);
  if (file_ == nullptr) return;
  if (pass->generation != generation_) {
    complain("datalog: a pass started before " + path_ + " was opened is not written");
    return;
  }
  if (pass->broken) {
    complain("datalog: the flow changed within a pass; the pass is not written to " + path_);
    return;
  }
  // After a failed write the passes since wait in pending_ and go out with the next write that
  // succeeds, so the file always holds the passes its summaries count.
  const std::size_t passStart = pending_.size();
  merge(*pass, pending_);
  if (pending_.size() > MAX_PENDING && passStart > 0) {
    complain("datalog: " + std::to_string(pending_.size() - passStart) +
             " bytes of passes could not be written to " + path_ + " and are dropped");
    pending_.erase(0, passStart);
  }
  // The passes and the summaries after them go out in one write.
  const std::size_t passesEnd = pending_.size();
  pending_ += encodeSummaries(secondsNow());
  const auto summaryBytes = static_cast<long>(pending_.size() - passesEnd);
  std::fpos_t next{};
  const bool written = std::fsetpos(file_, &summaryStart_) == 0 &&
                       std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size() &&
                       std::fflush(file_) == 0 && std::fseek(file_, -summaryBytes, SEEK_CUR) == 0 &&
                       std::fgetpos(file_, &next) == 0;
  pending_.resize(passesEnd);
  if (!written) {
    const int error = errno;
    if (!writeFailing_) {
      complain("datalog: cannot write " + path_ + ": " + std::strerror(error) +
               "; passes wait in memory until a write succeeds");
    }
    writeFailing_ = true;
    return;
  }
  pending_.clear();
  summaryStart_ = next;
  if (writeFailing_) complain("datalog: writing " + path_ + " again");
  writeFailing_ = false;
}

// A functional test's outcome. OPT_FLAG: no cycle count, address, repeat count, fail count, fail
// coordinates or vector offset.
void encodeFtr(std::string& out, const PlanParam& param, std::uint8_t site,
               std::uint8_t testFlags) {
  Record ftr(out, FTR_RECORD);
  ftr.u4(param.testNumber).u1(PART_HEAD).u1(site).u1(testFlags);
  ftr.u1(static_cast<std::uint8_t>(flag::FTR_OPT_NONE)).u4(0).u4(0).u4(0).u4(0).u4(0).u4(0);
  ftr.i2(0).u2(0).u2(0);
  ftr.emptyDn().emptyCn(3).cn(param.name).emptyCn(3).u1(255).emptyDn();
}

void put(char*& at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i, value >>= 8) *at++ = static_cast<char>(value & 0xFF);
}

// A measured value: the header and the fields up to RESULT written in place, then the
// parameter's constant ones, encoded once (every measurement of every test program comes here).
void encodePtr(std::string& out, const PlanParam& param, std::uint8_t site, std::uint8_t testFlags,
               double value) {
  const Limits& limits = param.limits;
  std::uint64_t parmFlags = flag::PARM_LOW_EQUAL_PASSES | flag::PARM_HIGH_EQUAL_PASSES;
  if (limits.high.present && value > limits.high.value) parmFlags |= flag::PARM_ABOVE_HIGH;
  if (limits.low.present && value < limits.low.value) parmFlags |= flag::PARM_BELOW_LOW;
  const std::string& tail = param.ptrTail;
  // The whole record in one piece where it fits (the tail's texts are short but for a long
  // parameter name or unit).
  char record[256];
  char* bytes = record;
  put(bytes, static_cast<std::uint32_t>(PTR_FIXED + tail.size()), 2);
  put(bytes, PTR_RECORD.typ, 1);
  put(bytes, PTR_RECORD.sub, 1);
  put(bytes, param.testNumber, 4);
  put(bytes, PART_HEAD, 1);
  put(bytes, site, 1);
  put(bytes, testFlags, 1);
  put(bytes, static_cast<std::uint32_t>(parmFlags), 1);
  const auto single = static_cast<float>(value);
  std::uint32_t bits;
  std::memcpy(&bits, &single, sizeof bits);
  put(bytes, bits, 4);
  if (4 + PTR_FIXED + tail.size() <= sizeof record) {
    std::memcpy(bytes, tail.data(), tail.size());
    out.append(record, 4 + PTR_FIXED + tail.size());
  } else {
    out.append(record, 4 + PTR_FIXED).append(tail);
  }
}

// encodePtr writes TEST_NUM, HEAD_NUM, SITE_NUM, TEST_FLG, PARM_FLG and RESULT; the tail starts
// at TEST_TXT.
static_assert(stdf::layout::fixedBytesBefore(stdf::layout::PTR_FIELDS, field::PTR_TEST_TXT) ==
              PTR_FIXED);

}  // namespace

struct TestLog::State {
  const TestItem* item = nullptr;
  std::size_t itemIndex = 0;
  std::shared_ptr<const Plan> plan;
  std::shared_ptr<Pass> pass;
  std::string funcName;
  bool passed = true;

  bool add(const std::string& device, const Result& result, bool hasValue, double value,
           bool functionalPassed);
  // The test item's parameter of result, or null.
  const PlanParam* findParam(const Result& result) const;
  // Says that result is none of the item's; false.
  bool unknownResult(const Result& result);
  // Counts the outcome in the pass, for the device's part; the part's position in the pass, or
  // -1 when the outcome is not logged.
  int accumulate(const PlanParam& param, const std::string& device, bool ok, bool hasValue,
                 double value);
  // Says why an outcome is not logged; -1. Kept out of the path every value takes.
  int notLogged(const PlanParam& param, const std::string& device, const char* why);
  // The pass takes the test log's plan at its first outcome; false when it had another one.
  bool adoptPlan(Pass& p);
  // A value inside its test limits: the part's first outside its outlier limits is kept.
  void notePat(const PlanParam& param, std::size_t part, double value);
};

void TestLog::State::notePat(const PlanParam& param, std::size_t part, double value) {
  const auto found = pass->pat->limits.find(param.testNumber);
  if (found == pass->pat->limits.end()) return;
  const auto [low, high] = found->second;
  std::optional<PatHit>& hit = pass->parts[part].pat;
  if (hit || (value >= low && value <= high)) return;
  hit = PatHit{param.testNumber, &param.name, value, low, high};
}

[[gnu::always_inline]] inline const PlanParam* TestLog::State::findParam(
    const Result& result) const {
  if (item == nullptr) return nullptr;
  const auto& params = plan->items[itemIndex].params;
  // Mostly one of the item's own results, whose position then gives its parameter.
  const auto first = reinterpret_cast<std::uintptr_t>(item->results.data());
  const auto given = reinterpret_cast<std::uintptr_t>(&result);
  const std::size_t position = (given - first) / sizeof(Result);
  if (given >= first && (given - first) % sizeof(Result) == 0 && position < params.size() &&
      params[position].paramId == result.paramId) {
    return &params[position];
  }
  for (const PlanParam& param : params) {
    if (param.paramId == result.paramId) return &param;
  }
  return nullptr;
}

int TestLog::State::notLogged(const PlanParam& param, const std::string& device, const char* why) {
  complain("datalog: " + funcName + ": " + param.name + " of " + device + why);
  return -1;
}

bool TestLog::State::adoptPlan(Pass& p) {
  if (p.plan) {
    p.broken = true;
    return false;
  }
  p.plan = plan;
  p.stats.assign(plan->testCount * p.devices.size(), Stats());
  p.functional.assign(plan->testCount, false);
  for (Pass::Part& part : p.parts) part.met.assign(plan->items.size(), false);
  return true;
}

// Inlined into add, the path of every value.
[[gnu::always_inline]] inline int TestLog::State::accumulate(const PlanParam& param,
                                                             const std::string& device, bool ok,
                                                             bool hasValue, double value) {
  if (!pass || pass->ended) {
    return notLogged(param, device, " recorded outside a pass is not logged");
  }
  const int index = pass->deviceIndex(device);
  if (index < 0) return notLogged(param, device, ", a device not in the pass, is not logged");
  Pass& p = *pass;
  if (p.plan != plan && !adoptPlan(p)) return -1;
  const auto at = static_cast<std::size_t>(index);
  Pass::Part& part = p.parts[at];
  part.met[itemIndex] = true;
  ++part.tests;
  if (!ok && part.firstFailed < 0) part.firstFailed = static_cast<int>(itemIndex);
  p.stats[param.testIndex * p.devices.size() + at].add(ok, hasValue, value);
  if (!hasValue) p.functional[param.testIndex] = true;
  return index;
}

bool TestLog::State::unknownResult(const Result& result) {
  complain("datalog: " + funcName + ": no result with paramId " + std::to_string(result.paramId) +
           " in its test item; recorded as failed, not logged");
  passed = false;
  return false;
}

bool TestLog::State::add(const std::string& device, const Result& result, bool hasValue,
                         double value, bool functionalPassed) {
  const PlanParam* param = findParam(result);
  if (param == nullptr) return unknownResult(result);
  const bool ok = hasValue ? withinLimits(param->limits, value) : functionalPassed;
  passed = passed && ok;
  const int index = accumulate(*param, device, ok, hasValue, value);
  if (index < 0) return ok;
  if (pass->pat && ok && hasValue) notePat(*param, static_cast<std::size_t>(index), value);
  const std::uint8_t site = pass->sites[static_cast<std::size_t>(index)];
  const bool invalid = hasValue && !std::isfinite(value);
  const auto testFlags = static_cast<std::uint8_t>((ok ? 0 : flag::TEST_FAILED) |
                                                   (invalid ? flag::TEST_RESULT_INVALID : 0));
  if (hasValue) {
    encodePtr(pass->records, *param, site, testFlags, value);
  } else {
    encodeFtr(pass->records, *param, site, testFlags);
  }
  return ok;
}

TestLog::TestLog(const Configure& configure, const std::string& funcName) : state_(new State) {
  state_->funcName = funcName;
  const auto& items = configure.flowMessage.testItems;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].funcName == funcName) {
      state_->item = &items[i];
      state_->itemIndex = i;
      break;
    }
  }
  if (state_->item == nullptr) {
    complain("datalog: no test item called " + funcName + " in the flow; its records fail");
    return;
  }
  Datalog& datalog = datalogState();
  state_->plan = datalog.planFor(configure.flowMessage);
  state_->pass = datalog.currentPass();
  if (state_->pass) state_->pass->failstop = configure.setting.executeSetting.failstop;
}

TestLog::~TestLog() { delete state_; }

const TestItem* TestLog::item() const { return state_->item; }

bool TestLog::record(const std::string& device, const Result& result, double value) {
  return state_->add(device, result, true, value, false);
}

bool TestLog::record(const std::string& device, int paramId, double value) {
  Result result;
  result.paramId = paramId;
  return state_->add(device, result, true, value, false);
}

bool TestLog::recordPassFail(const std::string& device, const Result& result, bool passed) {
  return state_->add(device, result, false, 0.0, passed);
}

bool TestLog::passed() const { return state_->passed; }

bool currentPart(const std::string& device, Part& part) {
  Datalog& datalog = datalogState();
  const std::shared_ptr<Pass> pass = datalog.currentPass();
  if (!pass || pass->ended) return false;
  const int index = pass->deviceIndex(device);
  if (index < 0 || !pass->partIds[static_cast<std::size_t>(index)]) return false;
  const auto i = static_cast<std::size_t>(index);
  part.lotId = datalog.lotId();
  part.partId = *pass->partIds[i];
  part.site = pass->sites[i];
  part.waferId = pass->wafer;
  part.onDie = pass->dies[i].has_value() && !pass->wafer.empty();
  part.x = part.onDie ? pass->dies[i]->first : 0;
  part.y = part.onDie ? pass->dies[i]->second : 0;
  part.retest = pass->retests[i];
  return true;
}

bool open(const Lot& lot) { return datalogState().open(lot); }
std::string path() { return datalogState().path(); }
void close() { datalogState().close(); }
void startPass(const DUTSetting& duts) { datalogState().startPass(duts); }
void endPass() { datalogState().endPass(); }

}  // namespace datalog
