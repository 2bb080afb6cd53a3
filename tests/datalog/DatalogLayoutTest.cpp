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
#include <sstream>
#include <string>
#include <vector>

#include "datalog/datalog.h"
#include "tests/datalog/TestItems.h"
#include "tests/support/TestFiles.h"

namespace {

// The V4 types the library's records use. K... are kx arrays whose k is an earlier field.
enum class Kind { U1, U2, U4, I1, I2, I4, R4, C1, B1, CN, BN, DN, KU1, KU2, KN1 };

struct FieldOf {
  std::string name;
  Kind kind;
  std::string count;  // the field holding k, for the arrays
};

struct RecordOf {
  int typ;
  int sub;
  const char* name;
  std::vector<FieldOf> fields;
};

using K = Kind;

// A record's fields from "TYPE NAME TYPE NAME ...", an array's type as "KU1:COUNT_FIELD".
RecordOf layout(int typ, int sub, const char* name, const std::string& fields) {
  static const std::map<std::string, Kind> KINDS = {
      {"U1", K::U1}, {"U2", K::U2}, {"U4", K::U4},   {"I1", K::I1},   {"I2", K::I2},
      {"I4", K::I4}, {"R4", K::R4}, {"C1", K::C1},   {"B1", K::B1},   {"CN", K::CN},
      {"BN", K::BN}, {"DN", K::DN}, {"KU1", K::KU1}, {"KU2", K::KU2}, {"KN1", K::KN1}};
  RecordOf record{typ, sub, name, {}};
  std::istringstream words(fields);
  for (std::string type, field; words >> type >> field;) {
    const std::size_t colon = type.find(':');
    record.fields.push_back({field, KINDS.at(type.substr(0, colon)),
                             colon == std::string::npos ? "" : type.substr(colon + 1)});
  }
  return record;
}

// The records the library writes, as STDF V4 lays them out.
const std::vector<RecordOf> RECORDS = {
    layout(0, 10, "FAR", "U1 CPU_TYPE U1 STDF_VER"),
    layout(1, 10, "MIR",
           "U4 SETUP_T U4 START_T U1 STAT_NUM C1 MODE_COD C1 RTST_COD C1 PROT_COD U2 BURN_TIM "
           "C1 CMOD_COD CN LOT_ID CN PART_TYP CN NODE_NAM CN TSTR_TYP CN JOB_NAM CN JOB_REV "
           "CN SBLOT_ID CN OPER_NAM CN EXEC_TYP CN EXEC_VER CN TEST_COD CN TST_TEMP CN USER_TXT "
           "CN AUX_FILE CN PKG_TYP CN FAMLY_ID CN DATE_COD CN FACIL_ID CN FLOOR_ID CN PROC_ID "
           "CN OPER_FRQ CN SPEC_NAM CN SPEC_VER CN FLOW_ID CN SETUP_ID CN DSGN_REV CN ENG_ID "
           "CN ROM_COD CN SERL_NUM CN SUPR_NAM"),
    layout(1, 80, "SDR",
           "U1 HEAD_NUM U1 SITE_GRP U1 SITE_CNT KU1:SITE_CNT SITE_NUM CN HAND_TYP CN HAND_ID "
           "CN CARD_TYP CN CARD_ID CN LOAD_TYP CN LOAD_ID CN DIB_TYP CN DIB_ID CN CABL_TYP "
           "CN CABL_ID CN CONT_TYP CN CONT_ID CN LASR_TYP CN LASR_ID CN EXTR_TYP CN EXTR_ID"),
    layout(5, 10, "PIR", "U1 HEAD_NUM U1 SITE_NUM"),
    layout(15, 10, "PTR",
           "U4 TEST_NUM U1 HEAD_NUM U1 SITE_NUM B1 TEST_FLG B1 PARM_FLG R4 RESULT CN TEST_TXT "
           "CN ALARM_ID B1 OPT_FLAG I1 RES_SCAL I1 LLM_SCAL I1 HLM_SCAL R4 LO_LIMIT R4 HI_LIMIT "
           "CN UNITS CN C_RESFMT CN C_LLMFMT CN C_HLMFMT R4 LO_SPEC R4 HI_SPEC"),
    layout(15, 20, "FTR",
           "U4 TEST_NUM U1 HEAD_NUM U1 SITE_NUM B1 TEST_FLG B1 OPT_FLAG U4 CYCL_CNT U4 REL_VADR "
           "U4 REPT_CNT U4 NUM_FAIL I4 XFAIL_AD I4 YFAIL_AD I2 VECT_OFF U2 RTN_ICNT U2 PGM_ICNT "
           "KU2:RTN_ICNT RTN_INDX KN1:RTN_ICNT RTN_STAT KU2:PGM_ICNT PGM_INDX "
           "KN1:PGM_ICNT PGM_STAT DN FAIL_PIN CN VECT_NAM CN TIME_SET CN OP_CODE CN TEST_TXT "
           "CN ALARM_ID CN PROG_TXT CN RSLT_TXT U1 PATG_NUM DN SPIN_MAP"),
    layout(5, 20, "PRR",
           "U1 HEAD_NUM U1 SITE_NUM B1 PART_FLG U2 NUM_TEST U2 HARD_BIN U2 SOFT_BIN I2 X_COORD "
           "I2 Y_COORD U4 TEST_T CN PART_ID CN PART_TXT BN PART_FIX"),
    layout(10, 30, "TSR",
           "U1 HEAD_NUM U1 SITE_NUM C1 TEST_TYP U4 TEST_NUM U4 EXEC_CNT U4 FAIL_CNT U4 ALRM_CNT "
           "CN TEST_NAM CN SEQ_NAME CN TEST_LBL B1 OPT_FLAG R4 TEST_TIM R4 TEST_MIN R4 TEST_MAX "
           "R4 TST_SUMS R4 TST_SQRS"),
    layout(1, 40, "HBR", "U1 HEAD_NUM U1 SITE_NUM U2 HBIN_NUM U4 HBIN_CNT C1 HBIN_PF CN HBIN_NAM"),
    layout(1, 50, "SBR", "U1 HEAD_NUM U1 SITE_NUM U2 SBIN_NUM U4 SBIN_CNT C1 SBIN_PF CN SBIN_NAM"),
    layout(1, 30, "PCR",
           "U1 HEAD_NUM U1 SITE_NUM U4 PART_CNT U4 RTST_CNT U4 ABRT_CNT U4 GOOD_CNT U4 FUNC_CNT"),
    layout(50, 30, "DTR", "CN TEXT_DAT"),
    layout(1, 20, "MRR", "U4 FINISH_T C1 DISP_COD CN USR_DESC CN EXC_DESC"),
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
    static const std::map<Kind, std::size_t> FIXED = {{K::U1, 1}, {K::I1, 1}, {K::C1, 1},
                                                      {K::B1, 1}, {K::U2, 2}, {K::I2, 2},
                                                      {K::U4, 4}, {K::I4, 4}, {K::R4, 4}};
    const auto fixed = FIXED.find(field.kind);
    const std::size_t size = fixed != FIXED.end() ? fixed->second : 0;
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
