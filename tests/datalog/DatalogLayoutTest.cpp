// libdatalog's records, byte by byte: every record the library writes is decoded here from the
// STDF V4 field list written out below, on its own (neither the writer's encoder nor the reader
// in stdf/ is used), and must hold exactly its fields: REC_LEN is the sum of their sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "datalog/datalog.h"
#include "tests/datalog/TestItems.h"
#include "tests/support/TestFiles.h"

namespace {

// The V4 types the library's records use. K... are kx arrays whose k is an earlier field.
enum class Kind { U1, U2, U4, I1, I2, I4, R4, C1, B1, CN, BN, DN, KU1, KU2, KN1 };

struct FieldOf {
  const char* name;
  Kind kind;
  const char* count = nullptr;  // the field holding k, for the arrays
};

struct RecordOf {
  int typ;
  int sub;
  const char* name;
  std::vector<FieldOf> fields;
};

using K = Kind;

std::vector<FieldOf> texts(std::initializer_list<const char*> names) {
  std::vector<FieldOf> out;
  for (const char* name : names) out.push_back({name, K::CN});
  return out;
}

std::vector<FieldOf> join(std::vector<FieldOf> a, const std::vector<FieldOf>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The records the library writes, as STDF V4 lays them out.
const std::vector<RecordOf> RECORDS = {
    {0, 10, "FAR", {{"CPU_TYPE", K::U1}, {"STDF_VER", K::U1}}},
    {1, 10, "MIR",
     join({{"SETUP_T", K::U4},
           {"START_T", K::U4},
           {"STAT_NUM", K::U1},
           {"MODE_COD", K::C1},
           {"RTST_COD", K::C1},
           {"PROT_COD", K::C1},
           {"BURN_TIM", K::U2},
           {"CMOD_COD", K::C1}},
          texts({"LOT_ID",   "PART_TYP", "NODE_NAM", "TSTR_TYP", "JOB_NAM",  "JOB_REV",
                 "SBLOT_ID", "OPER_NAM", "EXEC_TYP", "EXEC_VER", "TEST_COD", "TST_TEMP",
                 "USER_TXT", "AUX_FILE", "PKG_TYP",  "FAMLY_ID", "DATE_COD", "FACIL_ID",
                 "FLOOR_ID", "PROC_ID",  "OPER_FRQ", "SPEC_NAM", "SPEC_VER", "FLOW_ID",
                 "SETUP_ID", "DSGN_REV", "ENG_ID",   "ROM_COD",  "SERL_NUM", "SUPR_NAM"}))},
    {1, 80, "SDR",
     join({{"HEAD_NUM", K::U1},
           {"SITE_GRP", K::U1},
           {"SITE_CNT", K::U1},
           {"SITE_NUM", K::KU1, "SITE_CNT"}},
          texts({"HAND_TYP", "HAND_ID", "CARD_TYP", "CARD_ID", "LOAD_TYP", "LOAD_ID", "DIB_TYP",
                 "DIB_ID", "CABL_TYP", "CABL_ID", "CONT_TYP", "CONT_ID", "LASR_TYP", "LASR_ID",
                 "EXTR_TYP", "EXTR_ID"}))},
    {5, 10, "PIR", {{"HEAD_NUM", K::U1}, {"SITE_NUM", K::U1}}},
    {15, 10, "PTR", {{"TEST_NUM", K::U4}, {"HEAD_NUM", K::U1}, {"SITE_NUM", K::U1},
                     {"TEST_FLG", K::B1}, {"PARM_FLG", K::B1}, {"RESULT", K::R4},
                     {"TEST_TXT", K::CN}, {"ALARM_ID", K::CN}, {"OPT_FLAG", K::B1},
                     {"RES_SCAL", K::I1}, {"LLM_SCAL", K::I1}, {"HLM_SCAL", K::I1},
                     {"LO_LIMIT", K::R4}, {"HI_LIMIT", K::R4}, {"UNITS", K::CN},
                     {"C_RESFMT", K::CN}, {"C_LLMFMT", K::CN}, {"C_HLMFMT", K::CN},
                     {"LO_SPEC", K::R4},  {"HI_SPEC", K::R4}}},
    {15,
     20,
     "FTR",
     {{"TEST_NUM", K::U4},
      {"HEAD_NUM", K::U1},
      {"SITE_NUM", K::U1},
      {"TEST_FLG", K::B1},
      {"OPT_FLAG", K::B1},
      {"CYCL_CNT", K::U4},
      {"REL_VADR", K::U4},
      {"REPT_CNT", K::U4},
      {"NUM_FAIL", K::U4},
      {"XFAIL_AD", K::I4},
      {"YFAIL_AD", K::I4},
      {"VECT_OFF", K::I2},
      {"RTN_ICNT", K::U2},
      {"PGM_ICNT", K::U2},
      {"RTN_INDX", K::KU2, "RTN_ICNT"},
      {"RTN_STAT", K::KN1, "RTN_ICNT"},
      {"PGM_INDX", K::KU2, "PGM_ICNT"},
      {"PGM_STAT", K::KN1, "PGM_ICNT"},
      {"FAIL_PIN", K::DN},
      {"VECT_NAM", K::CN},
      {"TIME_SET", K::CN},
      {"OP_CODE", K::CN},
      {"TEST_TXT", K::CN},
      {"ALARM_ID", K::CN},
      {"PROG_TXT", K::CN},
      {"RSLT_TXT", K::CN},
      {"PATG_NUM", K::U1},
      {"SPIN_MAP", K::DN}}},
    {5,
     20,
     "PRR",
     {{"HEAD_NUM", K::U1},
      {"SITE_NUM", K::U1},
      {"PART_FLG", K::B1},
      {"NUM_TEST", K::U2},
      {"HARD_BIN", K::U2},
      {"SOFT_BIN", K::U2},
      {"X_COORD", K::I2},
      {"Y_COORD", K::I2},
      {"TEST_T", K::U4},
      {"PART_ID", K::CN},
      {"PART_TXT", K::CN},
      {"PART_FIX", K::BN}}},
    {10,
     30,
     "TSR",
     {{"HEAD_NUM", K::U1},
      {"SITE_NUM", K::U1},
      {"TEST_TYP", K::C1},
      {"TEST_NUM", K::U4},
      {"EXEC_CNT", K::U4},
      {"FAIL_CNT", K::U4},
      {"ALRM_CNT", K::U4},
      {"TEST_NAM", K::CN},
      {"SEQ_NAME", K::CN},
      {"TEST_LBL", K::CN},
      {"OPT_FLAG", K::B1},
      {"TEST_TIM", K::R4},
      {"TEST_MIN", K::R4},
      {"TEST_MAX", K::R4},
      {"TST_SUMS", K::R4},
      {"TST_SQRS", K::R4}}},
    {1,
     40,
     "HBR",
     {{"HEAD_NUM", K::U1},
      {"SITE_NUM", K::U1},
      {"HBIN_NUM", K::U2},
      {"HBIN_CNT", K::U4},
      {"HBIN_PF", K::C1},
      {"HBIN_NAM", K::CN}}},
    {1,
     50,
     "SBR",
     {{"HEAD_NUM", K::U1},
      {"SITE_NUM", K::U1},
      {"SBIN_NUM", K::U2},
      {"SBIN_CNT", K::U4},
      {"SBIN_PF", K::C1},
      {"SBIN_NAM", K::CN}}},
    {1,
     30,
     "PCR",
     {{"HEAD_NUM", K::U1},
      {"SITE_NUM", K::U1},
      {"PART_CNT", K::U4},
      {"RTST_CNT", K::U4},
      {"ABRT_CNT", K::U4},
      {"GOOD_CNT", K::U4},
      {"FUNC_CNT", K::U4}}},
    {50, 30, "DTR", {{"TEXT_DAT", K::CN}}},
    {1,
     20,
     "MRR",
     {{"FINISH_T", K::U4}, {"DISP_COD", K::C1}, {"USR_DESC", K::CN}, {"EXC_DESC", K::CN}}},
};

// One record decoded: its fields' numbers (for U, I, B and counts) and texts (CN, C1), by name.
struct Decoded {
  const RecordOf* layout = nullptr;
  std::size_t offset = 0;
  std::size_t length = 0;    // REC_LEN
  std::size_t consumed = 0;  // bytes its fields took
  std::string problem;       // a field that ran past the record
  std::map<std::string, std::uint64_t> numbers;
  std::map<std::string, std::string> texts;
};

// Little-endian, as the FAR of every file says (checked by the test).
std::uint64_t little(const std::string& bytes, std::size_t at, std::size_t n) {
  std::uint64_t value = 0;
  for (std::size_t k = n; k-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[at + k]);
  return value;
}

void decodeFields(const std::string& bytes, std::size_t start, Decoded& out) {
  const std::size_t end = start + out.length;
  std::size_t at = start;
  for (const FieldOf& field : out.layout->fields) {
    const auto take = [&](std::size_t n) {
      if (at + n > end) return false;
      at += n;
      return true;
    };
    const std::size_t here = at;
    std::size_t size = 0;
    switch (field.kind) {
      case K::U1:
      case K::I1:
      case K::C1:
      case K::B1:
        size = 1;
        break;
      case K::U2:
      case K::I2:
        size = 2;
        break;
      case K::U4:
      case K::I4:
      case K::R4:
        size = 4;
        break;
      default:
        break;
    }
    bool ok = true;
    if (size > 0) {
      ok = take(size);
      if (ok && field.kind == K::C1) out.texts[field.name] = bytes.substr(here, 1);
      if (ok && field.kind != K::C1 && field.kind != K::R4) {
        out.numbers[field.name] = little(bytes, here, size);
      }
    } else if (field.kind == K::CN || field.kind == K::BN) {
      ok = take(1) && take(little(bytes, here, 1));
      if (ok) out.texts[field.name] = bytes.substr(here + 1, at - here - 1);
    } else if (field.kind == K::DN) {
      ok = take(2) && take((little(bytes, here, 2) + 7) / 8);
    } else {
      const std::uint64_t k = out.numbers.at(field.count);
      ok = take(field.kind == K::KU1 ? k : field.kind == K::KU2 ? 2 * k : (k + 1) / 2);
    }
    if (!ok) {
      out.problem = std::string(field.name) + " runs past the end of the record";
      return;
    }
  }
  out.consumed = at - start;
}

// Every record of the file, framed and decoded here.
std::vector<Decoded> decodeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<Decoded> records;
  for (std::size_t at = 0; at < bytes.size();) {
    Decoded record;
    record.offset = at;
    if (at + 4 > bytes.size()) {
      record.problem = "a record header cut short";
      records.push_back(record);
      break;
    }
    record.length = little(bytes, at, 2);
    const int typ = static_cast<unsigned char>(bytes[at + 2]);
    const int sub = static_cast<unsigned char>(bytes[at + 3]);
    for (const RecordOf& layout : RECORDS) {
      if (layout.typ == typ && layout.sub == sub) record.layout = &layout;
    }
    if (record.layout == nullptr) {
      record.problem = "a record of type " + std::to_string(typ) + "/" + std::to_string(sub) +
                       " that the table here lacks";
    } else if (at + 4 + record.length > bytes.size()) {
      record.problem = "runs past the end of the file";
    } else {
      decodeFields(bytes, at + 4, record);
    }
    records.push_back(record);
    if (!record.problem.empty()) break;
    at += 4 + record.length;
  }
  return records;
}

void setEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  if (value.empty()) {
    unsetenv(name);
  } else {
    setenv(name, value.c_str(), 1);
  }
#endif
}

// Two passes that make every record the library writes: a second pass with a new site (a second
// SDR), measured values inside, on and outside the limits and NaN, functional tests passed and
// failed, and parts good, failed and incomplete.
void logTwoPasses() {
  FlowMessage flow{{item("vout", 1, 5, 50,
                         {result(7, "VOUT", "1.0", "2.0", "V"), result(8, "LEAK", "", "5", "nA")}),
                    item("func", 2, 6, 60, {result(9, "PATTERN", "", "", "")})}};
  for (const std::vector<std::string>& devices :
       {std::vector<std::string>{"D1", "D2"}, std::vector<std::string>{"D1", "D2", "D3"}}) {
    Setting setting;
    setting.dutSetting.selectDUT = devices;
    const Configure configure(flow, setting);
    datalog::startPass(setting.dutSetting);
    {
      datalog::TestLog vout(configure, "vout");
      vout.record("D1", 7, 2.0);
      vout.record("D1", 8, 9.0);
      vout.record("D2", 7, 1.5);
      vout.record("D2", 8, std::nan(""));
    }
    {
      datalog::TestLog func(configure, "func");
      func.recordPassFail("D1", func.item()->results[0], true);
      func.recordPassFail("D2", func.item()->results[0], false);
    }
    datalog::endPass();
  }
}

struct Opening {
  const char* how;
  std::string lotFile;  // the station's lot file, when one names the lot
  const char* lotId;    // the MIR's LOT_ID that results
};

TEST(DatalogLayout, EveryRecordHoldsExactlyItsFields) {
  const std::vector<Opening> openings = {
      {"as prj_init names the lot", "", "LOT-A"},
      {"with the station's lot file", "LOT_ID=LOT-B\nNODE_NAM=cell-4\nMODE_COD=E\n", "LOT-B"},
  };
  for (const Opening& opening : openings) {
    SCOPED_TRACE(opening.how);
    TempDir dir;
    setEnvironment("ATE_LOT_FILE",
                   opening.lotFile.empty() ? "" : dir.write("lot.txt", opening.lotFile));
    datalog::Lot lot;
    lot.lotId = "LOT-A";
    lot.partType = "PMIC";
    lot.nodeName = "bench-1";
    lot.folder = dir.path("logs");
    ASSERT_TRUE(datalog::open(lot));
    logTwoPasses();
    const std::string path = datalog::path();
    datalog::close();
    setEnvironment("ATE_LOT_FILE", "");

    const std::vector<Decoded> records = decodeFile(path);
    std::set<std::string> seen;
    std::map<std::string, int> counts;
    for (const Decoded& record : records) {
      ASSERT_TRUE(record.problem.empty()) << "byte " << record.offset << ": " << record.problem;
      EXPECT_EQ(record.consumed, record.length)
          << "byte " << record.offset << ": " << record.layout->name << " of " << record.length
          << " bytes, whose fields take " << record.consumed;
      ++counts[record.layout->name];
    }
    // Every record type of the table was written, so every one was checked.
    for (const RecordOf& layout : RECORDS) {
      EXPECT_GT(counts[layout.name], 0) << "no " << layout.name << " in the file";
    }
    EXPECT_EQ(counts["SDR"], 2);
    ASSERT_GE(records.size(), 2u);
    EXPECT_EQ(records.front().numbers.at("CPU_TYPE"), 2u);  // little-endian, as decoded here
    EXPECT_STREQ(records.back().layout->name, "MRR");
    const Decoded& mir = records[1];
    ASSERT_STREQ(mir.layout->name, "MIR");
    EXPECT_EQ(mir.texts.at("LOT_ID"), opening.lotId);
    EXPECT_EQ(mir.texts.at("PART_TYP"), "PMIC");
    EXPECT_EQ(mir.texts.at("NODE_NAM"), opening.lotFile.empty() ? "bench-1" : "cell-4");
    EXPECT_EQ(mir.texts.at("MODE_COD"), opening.lotFile.empty() ? "P" : "E");
    EXPECT_EQ(mir.texts.at("EXEC_TYP"), "ate");
    EXPECT_EQ(mir.texts.count("SUPR_NAM"), 1u);
  }
}

}  // namespace
