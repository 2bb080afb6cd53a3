// The test project of the lot benchmark: opens a datalog and logs each pass's parts, with test
// functions that do nothing, so that a touchdown costs the driver's and the station's own work.
#include "CommonStruct.h"
#include "TestProjectExport.h"
#include "datalog.h"

TEST_PROJECT_EXPORT bool prj_init() {
  datalog::Lot lot;
  lot.lotId = "BENCH";
  datalog::open(lot);
  return true;
}

TEST_PROJECT_EXPORT bool test_start(DUTSetting dutSetting) {
  datalog::startPass(dutSetting);
  return true;
}

TEST_PROJECT_EXPORT bool test_end() {
  datalog::endPass();
  return true;
}

TEST_PROJECT_EXPORT bool f0(Configure) { return true; }
TEST_PROJECT_EXPORT bool f1(Configure) { return true; }
TEST_PROJECT_EXPORT bool f2(Configure) { return true; }
TEST_PROJECT_EXPORT bool f3(Configure) { return true; }
