// An example test project: a small power-management chip (two LDO regulators and a trimmed
// bandgap reference), simulated. Each test function reads its limits from its own test item in
// the Configure it receives, "measures" every selected device under test, records each value in
// the datalog (libdatalog), which judges it against the item's limits, prints one line per device
// and parameter, and fails when any device is out of limits.
//
// Outside a station's lot the measurements are fixed: each device has fixed process offsets, so
// every run gives the same figures, and device "DUT3" has a weak LDO1 output stage and fails the
// output voltage test, which shows what fail-stop does. In a lot, each part is drawn from a model
// of a process (libdatalog's currentPart names it): a lot and a wafer shift, a gradient from the
// wafer's centre to its edge, small site offsets, part-to-part noise, a few clusters of leaky
// dies on each wafer, rare open contacts, and rare outliers that stay inside the test limits; the
// same lot id and part always read the same. ATE_EXAMPLE_FIXED=1 keeps the fixed figures.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "CommonStruct.h"
#include "TestProjectExport.h"
#include "chanmap.h"
#include "datalog.h"

namespace {

// Writes one whole line; test functions may run on two execution threads at once.
void say(const std::string& text) {
  const std::string line = text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

std::string format(const char* pattern, double value) {
  char text[64];
  std::snprintf(text, sizeof text, pattern, value);
  return text;
}

// A number in [-1, 1] fixed for a device and a parameter.
double spread(const std::string& device, const std::string& parameter) {
  std::uint32_t hash = 2166136261u;
  for (char c : device + "/" + parameter) hash = (hash ^ static_cast<unsigned char>(c)) * 16777619u;
  return (hash % 2001) / 1000.0 - 1.0;
}

// What each parameter reads on a typical device, and how far devices scatter around it.
struct Model {
  double nominal;
  double scatter;
};

const std::map<std::string, Model>& models() {
  static const std::map<std::string, Model> table = {
      {"CONT_VIN", {-0.45, 0.05}},    // V, clamp diode forward drop
      {"CONT_VOUT1", {-0.48, 0.05}},  //
      {"CONT_EN", {-0.52, 0.05}},     //
      {"ILEAK_EN_HI", {12.0, 8.0}},   // nA
      {"ILEAK_EN_LO", {-10.0, 8.0}},  //
      {"IQ_ACTIVE", {38.0, 4.0}},     // uA
      {"IQ_SHDN", {0.35, 0.2}},       //
      {"VOUT1", {3.300, 0.020}},      // V
      {"VOUT2", {1.800, 0.012}},      //
      {"VREF", {1.2000, 0.0015}},     // V, after trim
      {"LOADREG1", {0.25, 0.1}},      // %
  };
  return table;
}

// Outside a lot: fixed figures, the same in every run.
double fixedValue(const std::string& device, const std::string& parameter) {
  const auto found = models().find(parameter);
  if (found == models().end()) return 0.0;
  double value = found->second.nominal + found->second.scatter * spread(device, parameter);
  if (device == "DUT3" && parameter == "VOUT1") value -= 0.150;  // weak output stage
  return value;
}

// ----- In a station's lot: every part drawn from a model of the process, the same part always
// reading the same (from the lot id and the part's die, or its part id off a wafer).

std::uint64_t mix(std::uint64_t x) {  // splitmix64's finaliser
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

std::uint64_t hashOf(const std::string& text, std::uint64_t seed = 0) {
  std::uint64_t hash = 1469598103934665603ull ^ seed;
  for (char c : text) hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return mix(hash);
}

// Uniform in [0, 1) and standard normal, fixed by a key.
double uniform(std::uint64_t key) { return static_cast<double>(mix(key) >> 11) * 0x1.0p-53; }
double normal(std::uint64_t key) {
  const double u = std::max(uniform(key), 1e-12), v = uniform(key ^ 0x5bd1e995u);
  return std::sqrt(-2.0 * std::log(u)) * std::cos(6.283185307179586 * v);
}

// How a parameter varies: part-to-part noise, a shift per lot and per wafer, a change from the
// wafer's centre to its edge, and a small offset per tester site.
struct Process {
  double nominal, noise, lotShift, waferShift, edge, siteOffset;
};

const std::map<std::string, Process>& process() {
  static const std::map<std::string, Process> table = {
      {"CONT_VIN", {-0.45, 0.012, 0.01, 0.006, 0.0, 0.004}},
      {"CONT_VOUT1", {-0.48, 0.012, 0.01, 0.006, 0.0, 0.004}},
      {"CONT_EN", {-0.52, 0.012, 0.01, 0.006, 0.0, 0.004}},
      {"ILEAK_EN_HI", {12.0, 3.0, 2.0, 1.5, 6.0, 0.5}},
      {"ILEAK_EN_LO", {-10.0, 3.0, 2.0, 1.5, -5.0, 0.5}},
      {"IQ_ACTIVE", {38.0, 1.5, 1.0, 0.6, 2.5, 0.3}},
      {"IQ_SHDN", {0.35, 0.05, 0.03, 0.02, 0.10, 0.01}},
      {"VOUT1", {3.300, 0.008, 0.004, 0.003, -0.015, 0.002}},
      {"VOUT2", {1.800, 0.005, 0.003, 0.002, -0.008, 0.0015}},
      {"VREF", {1.2000, 0.0009, 0.0004, 0.0003, 0.0048, 0.0002}},
      {"LOADREG1", {0.25, 0.04, 0.02, 0.015, 0.05, 0.01}},
  };
  return table;
}

// The dies from the wafer's centre (0,0, as the simulated prober numbers them) to where the
// gradient reaches its edge value; a larger wafer's outer dies stay at that value.
constexpr double WAFER_RADIUS = 10.0;

// A die inside one of the wafer's few clusters of defects (leaky enable input).
bool inCluster(std::uint64_t wafer, int x, int y) {
  const int clusters = 1 + static_cast<int>(mix(wafer ^ 0xc1) % 3);
  for (int c = 0; c < clusters; ++c) {
    const std::uint64_t key = wafer ^ (0xc100 + static_cast<std::uint64_t>(c));
    const double angle = 6.283185307179586 * uniform(key);
    const double from = 0.75 * WAFER_RADIUS * std::sqrt(uniform(key + 1));
    const double size = 1.2 + 1.0 * uniform(key + 2);
    if (std::hypot(x - from * std::cos(angle), y - from * std::sin(angle)) <= size) return true;
  }
  return false;
}

double modelValue(const datalog::Part& part, const Result& result) {
  const std::string& parameter = result.paramName;
  const auto found = process().find(parameter);
  if (found == process().end()) return 0.0;
  const Process& p = found->second;
  const std::uint64_t lot = hashOf(part.lotId);
  const std::uint64_t param = hashOf(parameter, 7);
  const std::uint64_t wafer = hashOf(part.waferId, lot);
  // The part itself: its die on a wafer, else its id.
  const std::uint64_t self =
      part.onDie
          ? mix(wafer ^ mix((static_cast<std::uint64_t>(static_cast<std::uint32_t>(part.x)) << 32) |
                            static_cast<std::uint32_t>(part.y)))
          : mix(lot ^ mix(part.partId));
  double value = p.nominal + p.lotShift * normal(lot ^ param) +
                 p.siteOffset * normal(mix(part.site) ^ param) + p.noise * normal(self ^ param);
  if (part.onDie) {
    const double r = std::min(1.1, std::hypot(part.x + 0.5, part.y + 0.5) / WAFER_RADIUS);
    value += p.waferShift * normal(wafer ^ param) + p.edge * r * r;
    if (parameter == "ILEAK_EN_HI" && inCluster(wafer, part.x, part.y)) {
      value = 150.0 + 60.0 * uniform(self ^ 0xdead);
    }
  }
  // A few parts in a thousand have an open clamp diode: continuity fails.
  if (parameter == "CONT_VIN" && uniform(self ^ 0x0be4) < 0.004) value = -0.05;
  // Rare parametric outliers: far from every other part, yet inside the test limits.
  static const char* const OUTLYING[] = {"ILEAK_EN_HI", "IQ_ACTIVE", "IQ_SHDN", "LOADREG1"};
  if (uniform(self ^ 0x07u) < 0.003 &&
      parameter == OUTLYING[mix(self ^ 0x08u) % (sizeof OUTLYING / sizeof OUTLYING[0])]) {
    const double high = std::atof(result.max.c_str());
    value = p.nominal + std::min(12.0 * p.noise, 0.85 * (high - p.nominal));
  }
  return value;
}

// ATE_EXAMPLE_FIXED=1 keeps the fixed figures in a lot too.
bool fixedInLots() {
  static const bool fixed = [] {
    const char* value = std::getenv("ATE_EXAMPLE_FIXED");
    return value != nullptr && std::string(value) == "1";
  }();
  return fixed;
}

double measure(const std::string& device, const Result& result) {
  // Setting up the instruments and letting the device settle takes a moment. Waited out on the
  // clock rather than through the thread library, whose state a library linked statically on
  // Windows doesn't share with the driver's threads.
  const auto settled = std::chrono::steady_clock::now() + std::chrono::microseconds(500);
  while (std::chrono::steady_clock::now() < settled) {
  }
  datalog::Part part;
  if (!fixedInLots() && datalog::currentPart(device, part)) return modelValue(part, result);
  return fixedValue(device, result.paramName);
}

// Measures every result of the test item called name on every selected device, recording each
// value in the datalog, which judges it against the item's limits.
bool runTest(const Configure& configure, const char* name) {
  datalog::TestLog log(configure, name);
  const TestItem* item = log.item();
  if (item == nullptr) {
    say("  " + std::string(name) + ": no test item in the flow");
    return false;
  }
  for (const std::string& device : configure.setting.dutSetting.selectDUT) {
    for (const Result& result : item->results) {
      const double value = measure(device, result);
      const bool inside = log.record(device, result, value);
      say("  " + std::string(name) + "  " + device + "  " + result.paramName + " = " +
          format("%.4g", value) + " " + result.unit + "  [" + result.min + ", " + result.max +
          "]  " + (inside ? "PASS" : "FAIL"));
    }
  }
  return log.passed();
}

// Counted across runs; two runs may call at once.
std::atomic<int> passNumber{0};

}  // namespace

TEST_PROJECT_EXPORT bool prj_init() {
  say("PMIC example project: signal map");
  SigDefine vin("VIN", "power", "1", {{1, "DPS1_CH0"}, {2, "DPS1_CH1"}});
  SigDefine vout1("VOUT1", "power", "2", {{1, "DPS2_CH0"}, {2, "DPS2_CH1"}});
  SigDefine en("EN", "io", "3", {{1, "PE_CH12"}, {2, "PE_CH44"}});
  dps.signal(vin).setMode("FVMI");
  dps.signal(vout1).setMode("FIMV");
  dps.signal(en).setMode("FVMI");
  datalog::Lot lot;
  lot.lotId = "LOT0001";
  lot.partType = "PMIC";
  lot.jobName = "pmic_example";
  lot.jobRevision = "1";
  lot.testTemperature = "25";
  datalog::open(lot);
  return true;
}

TEST_PROJECT_EXPORT bool test_start(DUTSetting dutSetting) {
  std::string devices;
  for (const std::string& device : dutSetting.selectDUT) devices += " " + device;
  say("pass " + std::to_string(++passNumber) + " on" + devices);
  datalog::startPass(dutSetting);
  return true;
}

TEST_PROJECT_EXPORT bool test_end() {
  datalog::endPass();
  say("pass " + std::to_string(passNumber.load()) + " done");
  return true;
}

TEST_PROJECT_EXPORT bool continuity(Configure configure) {
  return runTest(configure, "continuity");
}
TEST_PROJECT_EXPORT bool leakage(Configure configure) { return runTest(configure, "leakage"); }
TEST_PROJECT_EXPORT bool quiescent_current(Configure configure) {
  return runTest(configure, "quiescent_current");
}
TEST_PROJECT_EXPORT bool output_voltage(Configure configure) {
  return runTest(configure, "output_voltage");
}
TEST_PROJECT_EXPORT bool load_regulation(Configure configure) {
  return runTest(configure, "load_regulation");
}
TEST_PROJECT_EXPORT bool reference_trim(Configure configure) {
  return runTest(configure, "reference_trim");
}
