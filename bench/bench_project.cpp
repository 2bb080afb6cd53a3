// The test project library of the benchmarks: prj_init, test_start, test_end and the no-op test
// functions f0 to f199, each returning true at once, so that a pass costs the driver's own work
// and the Configure copies only.
//
// test_start stays silent for a run without devices. With devices, the first one names the run:
// the library counts that run's passes and writes "[bench] NAME pass N" at passes 1, 1000 and
// every 100000th, which is how a process benchmark learns that a loop has begun and how far it
// got. The count belongs to one run at a time: a new name starts it again.
#include <cstdio>
#include <string>

#include "CommonStruct.h"
#include "TestProjectExport.h"

namespace {

std::string currentRun;
long passes = 0;

void announce(const std::string& text) {
  const std::string line = "[bench] " + text + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace

TEST_PROJECT_EXPORT bool prj_init() { return true; }

TEST_PROJECT_EXPORT bool test_start(DUTSetting dutSetting) {
  if (dutSetting.selectDUT.empty()) return true;
  const std::string& run = dutSetting.selectDUT.front();
  if (run != currentRun) {
    currentRun = run;
    passes = 0;
  }
  ++passes;
  if (passes == 1 || passes == 1000 || passes % 100000 == 0) {
    announce(run + " pass " + std::to_string(passes));
  }
  return true;
}

TEST_PROJECT_EXPORT bool test_end() { return true; }

// f0 ... f199. ATE_NOOP10(t) defines the ten functions whose numbers start with t.
// clang-format off
#define ATE_NOOP(n) TEST_PROJECT_EXPORT bool f##n(Configure) { return true; }
#define ATE_NOOP10(t) \
  ATE_NOOP(t##0) ATE_NOOP(t##1) ATE_NOOP(t##2) ATE_NOOP(t##3) ATE_NOOP(t##4) \
  ATE_NOOP(t##5) ATE_NOOP(t##6) ATE_NOOP(t##7) ATE_NOOP(t##8) ATE_NOOP(t##9)

ATE_NOOP10()  ATE_NOOP10(1)  ATE_NOOP10(2)  ATE_NOOP10(3)  ATE_NOOP10(4)
ATE_NOOP10(5)  ATE_NOOP10(6)  ATE_NOOP10(7)  ATE_NOOP10(8)  ATE_NOOP10(9)
ATE_NOOP10(10) ATE_NOOP10(11) ATE_NOOP10(12) ATE_NOOP10(13) ATE_NOOP10(14)
ATE_NOOP10(15) ATE_NOOP10(16) ATE_NOOP10(17) ATE_NOOP10(18) ATE_NOOP10(19)
