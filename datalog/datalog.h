// libdatalog: a test project records its measurements here, against the limits of its flow, and
// gets pass/fail back; the library keeps an STDF V4 datalog of every part, bin and test.
//
// One datalog per process, used from the test project's own functions:
//
//   prj_init          datalog::open(lot)              names the lot, makes the file
//   test_start(duts)  datalog::startPass(duts)        one part per device of selectDUT
//   a test function   datalog::TestLog log(configure, "my_function");
//                     bool ok = log.record(device, result, value);
//   test_end          datalog::endPass()              bins the parts, writes the pass
//
// A pass belongs to the thread that started it: two runs side by side (two execution threads)
// each log their own parts. After every endPass the file on disk is a complete STDF V4 file with
// every finished pass and its summaries (see docs/datalog.md). Nothing here throws; what can't be
// done is reported by one line on standard error, and pass/fail is answered all the same.
#ifndef ATE_DATALOG_DATALOG_H_
#define ATE_DATALOG_DATALOG_H_

#include <cstdint>
#include <string>
#include <vector>

#include "CommonStruct.h"
#include "DatalogExport.h"

namespace datalog {

// The lot's identity, written in the file's MIR, and where the file goes. Every field may stay
// empty.
struct Lot {
  std::string lotId;
  std::string sublotId;
  std::string partType;
  std::string jobName;
  std::string jobRevision;
  std::string operatorName;
  std::string nodeName;  // empty: the computer's name, when the environment gives it
  std::string testerType = "ATE";
  std::string testCode;
  std::string testTemperature;
  char modeCode = 'P';  // MIR MODE_COD: P production, E engineering, D development, ...
  // Empty: ATE_DATALOG_DIR from the environment, else "datalog" under the current folder.
  // Created when missing.
  std::string folder;
  // The bin of a part that failed nothing but missed test items (hard and soft bin alike).
  std::uint16_t incompleteBin = 99;
  std::string incompleteBinName = "INCOMPLETE";
};

// Makes a new file "<partType>_<lotId>_<YYYYMMDD>_<HHMMSS>.stdf" in the lot's folder (never an
// existing one) and writes its header. Returns false, after one line on standard error, when the
// file can't be made; the other calls then keep answering pass/fail and write nothing. A datalog
// already open is closed first. Call it from prj_init.
DATALOG_API bool open(const Lot& lot = Lot());

// The path of the open datalog; empty when none is open.
DATALOG_API std::string path();

// Ends the datalog: waits for passes in progress to be written and closes the file. The file
// is already complete after the last endPass; closing only releases it. Also done when the
// library is unloaded.
DATALOG_API void close();

// Starts a pass on the calling thread: one part per device of duts.selectDUT, on site
// (position + 1). Call it from test_start.
DATALOG_API void startPass(const DUTSetting& duts);

// Ends the calling thread's pass: every part gets its bin and its PRR, and the pass is written
// with the summaries. Call it from test_end.
DATALOG_API void endPass();

// The part a device of the pass is testing, as the station testing a lot names it: a model of
// the device under test, a simulator or a part-specific trim may depend on it.
struct Part {
  std::string lotId;         // the lot's LOT_ID
  std::uint64_t partId = 0;  // the PART_ID the station gave the part
  std::uint8_t site = 0;     // its site in the lot
  std::string waferId;       // its wafer; empty off a wafer
  bool onDie = false;        // X,Y below hold its die on the wafer
  int x = 0;
  int y = 0;
  bool retest = false;  // its id, or its die, was tested before
};

// True when the calling thread's pass runs in a station's lot and device is one of its devices:
// part is then that device's part. False outside a lot (an engineering run, a datalog opened
// without a station), outside a pass, or for a device the pass doesn't have; part is left alone.
DATALOG_API bool currentPart(const std::string& device, Part& part);

// A test function's view of its own test item. Make one at the start of the function, on the
// thread of the pass, from the Configure the function received, which must outlive it.
class DATALOG_API TestLog {
 public:
  TestLog(const Configure& configure, const std::string& funcName);
  ~TestLog();
  TestLog(const TestLog&) = delete;
  TestLog& operator=(const TestLog&) = delete;

  // The test item called funcName, or nullptr when the flow has none (then every record fails).
  const TestItem* item() const;

  // Records value for device (a name of the pass's selectDUT) against result, one of item()'s
  // results (matched by paramId). True when the value lies within the limits, both inclusive;
  // NaN and infinities fail.
  bool record(const std::string& device, const Result& result, double value);
  // The same, finding the result by its paramId.
  bool record(const std::string& device, int paramId, double value);

  // Records a pass/fail outcome without a value (a functional test) under result.
  bool recordPassFail(const std::string& device, const Result& result, bool passed);

  // Whether everything recorded through this object passed (true when nothing was recorded).
  bool passed() const;

  struct State;

 private:
  State* state_;
};

}  // namespace datalog

#endif  // ATE_DATALOG_DATALOG_H_
