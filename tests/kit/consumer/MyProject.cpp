// A minimal test project library built against the installed kit.
#include "CommonStruct.h"
#include "TestProjectExport.h"
#include "chanmap.h"
#include "datalog.h"
#include "testa.h"

TEST_PROJECT_EXPORT bool prj_init() {
  SigDefine vdd("VDD", "power", "1", {{2, "DPS_CH2"}, {1, "DPS_CH1"}});
  dps.signal(vdd).setMode("FV");
  return true;
}

TEST_PROJECT_EXPORT bool test_start(DUTSetting dutSetting) { return !dutSetting.selectDUT.empty(); }

TEST_PROJECT_EXPORT bool continuity(Configure configure) {
  testa probe;
  probe.printaaa();
  return ProjectOperate::instance() != nullptr && configure.setting.executeSetting.loopcount == 1;
}

TEST_PROJECT_EXPORT bool test_end() { return sum(2, 3) == 5 && datalog::path().empty(); }
