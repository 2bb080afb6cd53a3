// libdatalog in process: what it writes, read back with the STDF reader; what it says when it
// can't write; two execution threads logging at once.
#include "datalog/datalog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "AteVersion.h"
#include "stdf/StdfReader.h"
#include "tests/datalog/TestItems.h"
#include "tests/support/TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

Configure configureOf(std::vector<TestItem> items, std::vector<std::string> devices) {
  FlowMessage flow{std::move(items)};
  Setting setting;
  setting.dutSetting.selectDUT = std::move(devices);
  return Configure(flow, setting);
}

// Every record of the file, as the dump shows it but without its offset and with a PRR's test
// time, which is whatever the machine took, as "ms"; the last line says how reading ended.
Lines readBack(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  stdf::StdfReader reader(bytes.data(), bytes.size());
  stdf::Record record;
  Lines lines;
  while (reader.next(record)) {
    std::string line = stdf::formatRecord(record);
    line.erase(0, line.find(' ') + 1);
    const std::size_t at = line.find("TEST_T=");
    if (at != std::string::npos) line.replace(at + 7, line.find(' ', at) - at - 7, "ms");
    lines.push_back(line);
  }
  lines.push_back(reader.error() ? "error: " + reader.error()->message : "end");
  return lines;
}

std::string openIn(const TempDir& dir, datalog::Lot lot = datalog::Lot()) {
  lot.folder = dir.path("logs");
  EXPECT_TRUE(datalog::open(lot));
  return datalog::path();
}

// A record's line as the writer fills it: each "$" of the pattern takes the next of the values,
// which are separated by spaces.
std::string fill(std::string pattern, const std::string& values) {
  std::istringstream in(values);
  std::size_t at = 0;
  for (std::string value; in >> value; at += value.size()) {
    at = pattern.find('$', at);
    pattern.replace(at, 1, value);
  }
  return pattern;
}

// The writer's records, with what it never varies written out.
const std::string PTR =
    "PTR TEST_NUM=$ HEAD_NUM=1 SITE_NUM=$ TEST_FLG=0x$ PARM_FLG=0x$ RESULT=$ TEST_TXT=\"$\" "
    "ALARM_ID=\"\" OPT_FLAG=0x$ RES_SCAL=0 LLM_SCAL=0 HLM_SCAL=0 LO_LIMIT=$ HI_LIMIT=$ "
    "UNITS=\"$\" C_RESFMT=\"\" C_LLMFMT=\"\" C_HLMFMT=\"\" LO_SPEC=0 HI_SPEC=0";
const std::string FTR =
    "FTR TEST_NUM=9 HEAD_NUM=1 SITE_NUM=$ TEST_FLG=0x$ OPT_FLAG=0xff CYCL_CNT=0 REL_VADR=0 "
    "REPT_CNT=0 NUM_FAIL=0 XFAIL_AD=0 YFAIL_AD=0 VECT_OFF=0 RTN_ICNT=0 PGM_ICNT=0 RTN_INDX=[] "
    "RTN_STAT=[] PGM_INDX=[] PGM_STAT=[] FAIL_PIN=0:0x VECT_NAM=\"\" TIME_SET=\"\" OP_CODE=\"\" "
    "TEST_TXT=\"PATTERN\" ALARM_ID=\"\" PROG_TXT=\"\" RSLT_TXT=\"\" PATG_NUM=255 SPIN_MAP=0:0x";
const std::string PIR = "PIR HEAD_NUM=1 SITE_NUM=$";
const std::string PRR =
    "PRR HEAD_NUM=1 SITE_NUM=$ PART_FLG=0x$ NUM_TEST=$ HARD_BIN=$ SOFT_BIN=$ X_COORD=-32768 "
    "Y_COORD=-32768 TEST_T=ms PART_ID=\"$\" PART_TXT=\"D$\" PART_FIX=0x";
const std::string TSR =
    "TSR HEAD_NUM=$ SITE_NUM=$ TEST_TYP=\"$\" TEST_NUM=$ EXEC_CNT=$ FAIL_CNT=$ ALRM_CNT=4294967295 "
    "TEST_NAM=\"$\" SEQ_NAME=\"\" TEST_LBL=\"$\" OPT_FLAG=0x$ TEST_TIM=0 TEST_MIN=$ TEST_MAX=$ "
    "TST_SUMS=$ TST_SQRS=$";
// A hard ("H") or soft ("S") bin.
const std::string BIN =
    "?BR HEAD_NUM=$ SITE_NUM=$ ?BIN_NUM=$ ?BIN_CNT=$ ?BIN_PF=\"$\" ?BIN_NAM=\"$\"";
const std::string PCR =
    "PCR HEAD_NUM=$ SITE_NUM=$ PART_CNT=$ RTST_CNT=0 ABRT_CNT=$ GOOD_CNT=$ FUNC_CNT=4294967295";

// The file reads whole and ends with its MRR.
void expectWhole(const Lines& lines) {
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2].substr(0, 4), "MRR ");
  EXPECT_EQ(lines.back(), "end");
}

}  // namespace

TEST(Datalog, WritesEveryPassAndItsSummariesAsACompleteFile) {
  TempDir dir;
  datalog::Lot lot;
  lot.lotId = "L1";
  lot.partType = "PMIC";
  lot.incompleteBin = 98;
  const std::string path = openIn(dir, lot);
  EXPECT_EQ(std::filesystem::path(path).parent_path(), std::filesystem::path(dir.path("logs")));
  EXPECT_EQ(std::filesystem::path(path).filename().string().substr(0, 8), "PMIC_L1_");
  // Before any pass the file already reads whole: header, empty summaries, MRR.
  Lines lines = readBack(path);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[2], fill(PCR, "255 255 0 0 0"));
  expectWhole(lines);

  const Configure configure =
      configureOf({item("vout", 1, 5, 50,
                        {result(7, "VOUT", "1.0", "2.0", "V"), result(8, "LEAK", "", "", "nA")}),
                   item("func", 2, 6, 60, {result(9, "PATTERN", "", "", "")})},
                  {"D1", "D2", "D3"});
  datalog::startPass(configure.setting.dutSetting);
  {
    datalog::TestLog vout(configure, "vout");
    EXPECT_TRUE(vout.record("D1", 7, 2.0));  // equal to the high limit
    EXPECT_TRUE(vout.record("D1", 8, -3.5));
    EXPECT_FALSE(vout.record("D2", 7, 2.5));
    EXPECT_FALSE(vout.record("D3", 7, std::numeric_limits<double>::quiet_NaN()));
    EXPECT_FALSE(vout.passed());
  }
  {
    datalog::TestLog func(configure, "func");
    EXPECT_TRUE(func.recordPassFail("D1", func.item()->results[0], true));
    EXPECT_FALSE(func.recordPassFail("D2", func.item()->results[0], false));
    // D3 misses "func", but failed "vout" already.
  }
  datalog::endPass();
  expectWhole(readBack(path));
  // The second pass: D1 passes "vout" but never reaches "func": incomplete.
  datalog::startPass(configure.setting.dutSetting);
  {
    datalog::TestLog vout(configure, "vout");
    EXPECT_TRUE(vout.record("D1", 7, 1.0));
  }
  datalog::endPass();

  lines = readBack(path);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(lines[0], "FAR CPU_TYPE=2 STDF_VER=4");
  EXPECT_NE(lines[1].find("LOT_ID=\"L1\" PART_TYP=\"PMIC\""), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("EXEC_TYP=\"ate\" EXEC_VER=\"" ATE_VERSION "\""), std::string::npos)
      << lines[1];
  // Everything between the MIR and the MRR, which hold times; each row fills its record's "$"s.
  Lines expected = {
      "SDR HEAD_NUM=1 SITE_GRP=1 SITE_CNT=3 SITE_NUM=[1,2,3] HAND_TYP=\"\" HAND_ID=\"\" "
      "CARD_TYP=\"\" CARD_ID=\"\" LOAD_TYP=\"\" LOAD_ID=\"\" DIB_TYP=\"\" DIB_ID=\"\" "
      "CABL_TYP=\"\" CABL_ID=\"\" CONT_TYP=\"\" CONT_ID=\"\" LASR_TYP=\"\" LASR_ID=\"\" "
      "EXTR_TYP=\"\" EXTR_ID=\"\""};
  const auto add = [&expected](const std::string& pattern, const Lines& rows) {
    for (const std::string& row : rows) expected.push_back(fill(pattern, row));
  };
  add(PIR, {"1", "2", "3"});
  // TEST_NUM, SITE_NUM, TEST_FLG, PARM_FLG, RESULT, TEST_TXT, OPT_FLAG, limits, UNITS
  add(PTR, {"7 1 00 c0 2 VOUT 0e 1 2 V", "8 1 00 c0 -3.5 LEAK ce 0 0 nA",
            "7 2 80 c8 2.5 VOUT 0e 1 2 V", "7 3 82 c0 nan VOUT 0e 1 2 V"});
  add(FTR, {"1 00", "2 80"});
  // SITE_NUM, PART_FLG, NUM_TEST, bins, PART_ID, PART_TXT
  add(PRR, {"1 00 3 1 1 1 1", "2 08 2 5 50 2 2", "3 08 1 5 50 3 3"});
  add(PIR, {"1", "2", "3"});
  add(PTR, {"7 1 00 c0 1 VOUT 0e 1 2 V"});
  // Each incomplete part's PRR comes after a DTR that says why.
  expected.push_back(
      "DTR TEXT_DAT=\"site 1 not completed: test function func is missing or recorded nothing\"");
  add(PRR, {"1 0c 1 98 98 4 1"});
  expected.push_back(
      "DTR TEXT_DAT=\"site 2 not completed: test function vout recorded nothing for this "
      "device\"");
  add(PRR, {"2 0c 0 98 98 5 2"});
  expected.push_back(
      "DTR TEXT_DAT=\"site 3 not completed: test function vout recorded nothing for this "
      "device\"");
  add(PRR, {"3 0c 0 98 98 6 3"});
  // Head, site, type, test, executions, fails, name, label, OPT_FLAG, min, max, sums, squares
  add(TSR,
      {"1 1 P 7 2 0 VOUT vout cc 1 2 3 5", "1 2 P 7 1 1 VOUT vout cc 2.5 2.5 2.5 6.25",
       "1 3 P 7 1 1 VOUT vout ff 0 0 0 0", "255 255 P 7 4 2 VOUT vout cc 1 2.5 5.5 11.25",
       "1 1 P 8 1 0 LEAK vout cc -3.5 -3.5 -3.5 12.25",
       "255 255 P 8 1 0 LEAK vout cc -3.5 -3.5 -3.5 12.25", "1 1 F 9 1 0 PATTERN func ff 0 0 0 0",
       "1 2 F 9 1 1 PATTERN func ff 0 0 0 0", "255 255 F 9 2 1 PATTERN func ff 0 0 0 0"});
  // Head, site, bin, count, P or F, name; the hard bins, then the soft ones, alike but for the
  // bins of "vout".
  for (const char kind : {'H', 'S'}) {
    std::string pattern = BIN;
    std::replace(pattern.begin(), pattern.end(), '?', kind);
    const std::string vout = kind == 'H' ? "5" : "50";
    add(pattern,
        {"1 1 1 1 P PASS", "1 2 " + vout + " 1 F vout", "1 3 " + vout + " 1 F vout",
         "1 1 98 1 F INCOMPLETE", "1 2 98 1 F INCOMPLETE", "1 3 98 1 F INCOMPLETE",
         "255 255 1 1 P PASS", "255 255 " + vout + " 2 F vout", "255 255 98 3 F INCOMPLETE"});
  }
  // Head, site, parts, abnormal, good
  add(PCR, {"1 1 2 1 1", "1 2 2 1 0", "1 3 2 1 0", "255 255 6 3 1"});
  EXPECT_EQ(Lines(lines.begin() + 2, lines.end() - 2), expected);
  expectWhole(lines);
}

TEST(Datalog, SaysWhyAPartIsIncompleteUnderFailStop) {
  TempDir dir;
  const std::string path = openIn(dir);
  Configure configure = configureOf({item("a", 1, 5, 50, {result(1, "A", "0", "1", "V")}),
                                     item("b", 2, 6, 60, {result(2, "B", "0", "1", "V")})},
                                    {"D1", "D2"});
  configure.setting.executeSetting.failstop = true;
  // D1 fails "a", so the driver stops the pass there: D2 never gets to "b".
  datalog::startPass(configure.setting.dutSetting);
  {
    datalog::TestLog a(configure, "a");
    EXPECT_FALSE(a.record("D1", 1, 2.0));
    EXPECT_TRUE(a.record("D2", 1, 0.5));
  }
  datalog::endPass();
  datalog::close();
  Lines said;
  for (const std::string& line : readBack(path)) {
    if (line.rfind("DTR ", 0) == 0 || line.rfind("PRR ", 0) == 0) said.push_back(line);
  }
  EXPECT_EQ(said, (Lines{fill(PRR, "1 08 1 5 50 1 1"),
                         "DTR TEXT_DAT=\"site 2 not completed: another device failed under "
                         "fail-stop\"",
                         fill(PRR, "2 0c 1 99 99 2 2")}));
}

TEST(Datalog, SaysWhatItCannotDoAndStillAnswersPassFail) {
  TempDir dir;
  const std::string blocker = dir.write("file", "not a folder");
  datalog::Lot lot;
  lot.folder = blocker + "/logs";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(datalog::open(lot));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("datalog: cannot make the folder " + lot.folder + ": ", 0), 0u) << err;
  EXPECT_EQ(err.substr(err.size() - 20), "; nothing is logged\n") << err;
  EXPECT_EQ(datalog::path(), "");

  const Configure configure =
      configureOf({item("t", 1, 2, 2, {result(1, "X", "0", "1", "V")})}, {"D1"});
  testing::internal::CaptureStderr();
  datalog::startPass(configure.setting.dutSetting);
  {
    datalog::TestLog log(configure, "t");
    EXPECT_TRUE(log.record("D1", 1, 0.5));
    EXPECT_FALSE(log.record("D1", 1, 1.5));
    EXPECT_TRUE(log.record("D9", 1, 0.5));  // no such device: judged all the same
  }
  datalog::endPass();
  {
    datalog::TestLog log(configure, "t");  // outside a pass
    EXPECT_TRUE(log.record("D1", 1, 1.0));
    datalog::TestLog missing(configure, "nothing");
    EXPECT_EQ(missing.item(), nullptr);
    EXPECT_FALSE(missing.record("D1", 1, 0.5));
  }
  err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err,
            "datalog: no datalog is open; the pass is not logged\n"
            "datalog: t: X of D9, a device not in the pass, is not logged\n"
            "datalog: t: X of D1 recorded outside a pass is not logged\n"
            "datalog: no test item called nothing in the flow; its records fail\n"
            "datalog: nothing: no result with paramId 1 in its test item; recorded as failed, "
            "not logged\n");
}

TEST(Datalog, TwoExecutionThreadsLogTheirOwnPartsIntoOneFile) {
  TempDir dir;
  const std::string path = openIn(dir);
  constexpr int PASSES = 200;
  std::atomic<int> started{0};
  const auto run = [&started](const std::string& name, int paramId) {
    const std::vector<std::string> devices = {name + "1", name + "2"};
    const Configure configure =
        configureOf({item(name, paramId, 2, 2, {result(paramId, name, "0", "10", "V")})}, devices);
    // Both threads log at the same time, not one after the other.
    ++started;
    while (started.load() < 2) std::this_thread::yield();
    for (int pass = 0; pass < PASSES; ++pass) {
      datalog::startPass(configure.setting.dutSetting);
      datalog::TestLog log(configure, name);
      for (int value = 0; value < 20; ++value) {
        for (const std::string& device : devices) log.record(device, paramId, value);
      }
      datalog::endPass();
    }
  };
  std::thread a(run, "A", 1);
  std::thread b(run, "B", 2);
  a.join();
  b.join();

  const Lines lines = readBack(path);
  ASSERT_EQ(lines.back(), "end");
  // Each pass is one block: its PIRs, then all 40 PTRs of its own thread, then its PRRs naming
  // that thread's devices.
  char owner = '?';
  int parts = 0;
  int values = 0;
  Lines overall;  // the PCR over every site
  for (const std::string& line : lines) {
    if (line.rfind("PCR HEAD_NUM=255", 0) == 0) overall.push_back(line);
    if (line.rfind("PIR", 0) == 0) {
      owner = '?';
      values = 0;
    }
    if (line.rfind("PTR", 0) == 0) {
      const char thread = line.find("TEST_NUM=1 ") != std::string::npos ? 'A' : 'B';
      if (owner == '?') owner = thread;
      ASSERT_EQ(thread, owner) << line;
      ++values;
    }
    if (line.rfind("PRR", 0) == 0) {
      ASSERT_EQ(values, 40);
      ++parts;
      ASSERT_NE(line.find(std::string("PART_TXT=\"") + owner), std::string::npos) << line;
    }
  }
  EXPECT_EQ(parts, 2 * 2 * PASSES);
  // Every part met its one item, and values above 10 failed it.
  EXPECT_EQ(overall, Lines{fill(PCR, "255 255 800 0 0")});
}
