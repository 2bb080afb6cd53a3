// An example test project: a small power-management chip (two LDO regulators and a trimmed
// bandgap reference), simulated. Each test function reads its limits from its own test item in
// the Configure it receives, "measures" every selected device under test, records each value in
// the datalog (libdatalog), which judges it against the item's limits, prints one line per device
// and parameter, and fails when any device is out of limits.
//
// The measurements are deterministic: each device has fixed process offsets, so every run gives
// the same figures. Device "DUT3" has a weak LDO1 output stage and fails the output voltage
// test, which shows what fail-stop does.
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

double measure(const std::string& device, const std::string& parameter) {
  // Setting up the instruments and letting the device settle takes a moment. Waited out on the
  // clock rather than through the thread library, whose state a library linked statically on
  // Windows doesn't share with the driver's threads.
  const auto settled = std::chrono::steady_clock::now() + std::chrono::microseconds(500);
  while (std::chrono::steady_clock::now() < settled) {
  }
  const auto found = models().find(parameter);
  if (found == models().end()) return 0.0;
  double value = found->second.nominal + found->second.scatter * spread(device, parameter);
  if (device == "DUT3" && parameter == "VOUT1") value -= 0.150;  // weak output stage
  return value;
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
      const double value = measure(device, result.paramName);
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
