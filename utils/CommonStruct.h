// Records of a test flow and of a run.
//
// These are the values the driver reads from the flow file and the setting file, and the values
// it hands to a test project library. Test project libraries compile this header too, so it
// depends on the standard library only, and both sides must be built from the same declarations
// with the same standard library: the records cross the library boundary by value.
#ifndef ATE_UTILS_COMMONSTRUCT_H_
#define ATE_UTILS_COMMONSTRUCT_H_

#include <string>
#include <vector>

// Level settings of a test item, held as text and passed through uninterpreted.
struct Level {
  std::string clampHi;
  std::string clampLow;
  std::string iOH;
  std::string iOL;
  std::string vIH;
  std::string vIL;
  std::string vOH;
  std::string vOL;
  std::string vT;
};

// One measured parameter of a test item with its limits (limits are text, not numbers).
struct Result {
  std::string max;
  std::string min;
  int paramId;
  std::string paramName;
  std::string unit;
};

// One entry of the flow. The driver interprets only funcName and select; everything else
// reaches the test functions inside the Configure they receive.
struct TestItem {
  std::string failJump;
  std::string flag;
  std::string funcDesc;
  int funcId;
  std::string funcName;
  int hbin;
  Level level;
  int loop;
  std::string passJump;
  std::string pattern;
  std::vector<Result> results;
  int sbin;
  bool select;
};

struct FlowMessage {
  std::vector<TestItem> testItems;
};

struct ExecuteSetting {
  bool failstop = false;  // end a pass at the first selected function that returns false
  int loopcount = 1;      // number of passes; 0 runs until stopped, negative runs none
};

struct DUTSetting {
  std::vector<std::string> selectDUT;  // devices under test, passed through to test_start
};

struct Setting {
  ExecuteSetting executeSetting;
  DUTSetting dutSetting;
};

// Everything a test function receives: the whole flow and the run's setting.
struct Configure {
  FlowMessage flowMessage;
  Setting setting;

  Configure(FlowMessage& flowMessage, Setting& setting)
      : flowMessage(flowMessage), setting(setting) {}
};

#endif  // ATE_UTILS_COMMONSTRUCT_H_
