#include "stdf/StdfReader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "stdf/DatalogSummary.h"
#include "stdf/DatalogTool.h"
#include "tests/support/StdfEncoder.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace stdftest;

// Every record a test file holds, one dump line each, and the error if reading stopped early.
struct Reading {
  std::vector<std::string> lines;
  std::string error;
  stdf::ErrorKind kind = stdf::ErrorKind::TRUNCATED;
  std::uint64_t errorOffset = 0;
};

Reading readAll(stdf::StdfReader&& reader) {
  Reading out;
  stdf::Record r;
  while (reader.next(r)) out.lines.push_back(stdf::formatRecord(r));
  if (const stdf::ReadError* e = reader.error()) {
    out.error = e->message;
    out.kind = e->kind;
    out.errorOffset = e->offset;
  }
  return out;
}

Reading readBytes(const std::string& bytes) {
  return readAll(stdf::StdfReader(bytes.data(), bytes.size()));
}

Reading readStream(const std::string& bytes) {
  std::istringstream in(bytes);
  return readAll(stdf::StdfReader(in));
}

// A MIR up to PART_TYP: the other 28 fields are left off.
std::string mir(bool big, unsigned setup, unsigned start, int station, const std::string& lot) {
  Fields data(big);
  data.u4(setup).u4(start).u1(station).c1('P').c1(' ').c1(' ').u2(65535).c1(' ');
  return record(1, 10, data.cn(lot).cn("PMIC"));
}

// A PTR whose TEST_TXT claims 9 bytes where the record has 2 left.
std::string ptrPastItsEnd(bool big) {
  return record(15, 10, Fields(big).u4(1).u1(1).u1(1).u1(0).u1(0).r4(1).u1(9).raw("ab"));
}

// What the reader says of a field at byte `at` that runs past the end of its record.
std::string pastItsRecord(std::uint64_t at, const char* field, const char* record,
                          std::uint64_t recordAt, int length) {
  return "byte " + std::to_string(at) + ": field " + field + " of the " + record +
         " record at byte " + std::to_string(recordAt) + " runs past the end of the record (" +
         std::to_string(length) + " bytes)";
}

// One of each kind of field: every scalar type, Cn/Bn/Dn, the kx arrays, GEN_DATA, a record
// with trailing fields left off and a record type no reader knows.
std::string everyKind(bool big) {
  Fields ptr(big), ftr(big), mpr(big), gdr(big), plr(big);
  ptr.u4(70000).u1(1).u1(1).u1(0x80).u1(0xc0).r4(-1.1f).cn("I\"q\"\x01").cn("").u1(0x0e);
  ptr.i1(-3).i1(2).i1(-128).r4(1e-6f).r4(2.5f).cn("A").cn("%7.3f").cn("").cn("").r4(0).r4(3);
  ftr.u4(200).u1(1).u1(1).u1(0x80).u1(0xff).u4(10).u4(0).u4(1).u4(2).i4(-1).i4(-2).i2(-3);
  ftr.u2(3).u2(1).u2(1).u2(2).u2(3).raw("\x21\x03").u2(7).raw("\x05").u2(12).raw("\xff\x0f");
  ftr.cn("v");
  mpr.u4(300).u1(1).u1(1).u1(0).u1(0).u2(2).u2(2).raw("\x21").r4(1.5f).r4(-2.25f).cn("MULTI");
  gdr.u2(5).u1(1).u1(7).u1(0).u1(10).cn("hi").u1(5).i2(-5).u1(8).r8(0.1);
  plr.u2(2).u2(1).u2(2).u2(10).u2(20).u1(2).u1(16).cn("a").cn("b").cn("c").cn("d");
  return far(big) + record(0, 20, Fields(big).u4(1700000000).cn("ate run")) +
         mir(big, 1, 4000000000u, 3, "LOT1") +
         record(1, 80, Fields(big).u1(255).u1(1).u1(2).u1(1).u1(2)) + pir(big, 1) +
         record(15, 10, ptr) + record(15, 20, ftr) + record(15, 15, mpr) + record(50, 10, gdr) +
         record(1, 63, plr) + record(99, 1, Fields(big).u4(5)) +
         record(20, 10, Fields(big).cn("seq")) + record(20, 20, Fields(big)) +
         record(50, 30, Fields(big).cn("a \\ b")) +
         record(2, 30, Fields(big).r4(200).r4(0).r4(0).u1(3).c1('D').i2(-1).i2(1)) +
         prr(big, 1, 0x08, 5, 50, "P1", 12) + bin(big, true, 255, 255, 5, 1, 'F', "VOUT") +
         bin(big, false, 255, 255, 50, 1, 'F', "VOUT") +
         record(1, 30, Fields(big).u1(255).u1(255).u4(1).u4(0).u4(0).u4(0)) +
         record(1, 20, Fields(big).u4(1700000001).c1(' '));
}

// The dump of everyKind(), little-endian.
const std::vector<std::string> EVERY_KIND = {
    "@0 FAR CPU_TYPE=2 STDF_VER=4",
    "@6 ATR MOD_TIM=1700000000 CMD_LINE=\"ate run\"",
    "@22 MIR SETUP_T=1 START_T=4000000000 STAT_NUM=3 MODE_COD=\"P\" RTST_COD=\" \" PROT_COD=\" \" "
    "BURN_TIM=65535 CMOD_COD=\" \" LOT_ID=\"LOT1\" PART_TYP=\"PMIC\"",
    "@51 SDR HEAD_NUM=255 SITE_GRP=1 SITE_CNT=2 SITE_NUM=[1,2]",
    "@60 PIR HEAD_NUM=1 SITE_NUM=1",
    "@66 PTR TEST_NUM=70000 HEAD_NUM=1 SITE_NUM=1 TEST_FLG=0x80 PARM_FLG=0xc0 RESULT=-1.1 "
    "TEST_TXT=\"I\\\"q\\\"\\x01\" ALARM_ID=\"\" OPT_FLAG=0x0e RES_SCAL=-3 LLM_SCAL=2 HLM_SCAL=-128 "
    "LO_LIMIT=1e-06 HI_LIMIT=2.5 UNITS=\"A\" C_RESFMT=\"%7.3f\" C_LLMFMT=\"\" C_HLMFMT=\"\" "
    "LO_SPEC=0 HI_SPEC=3",
    "@119 FTR TEST_NUM=200 HEAD_NUM=1 SITE_NUM=1 TEST_FLG=0x80 OPT_FLAG=0xff CYCL_CNT=10 "
    "REL_VADR=0 REPT_CNT=1 NUM_FAIL=2 XFAIL_AD=-1 YFAIL_AD=-2 VECT_OFF=-3 RTN_ICNT=3 PGM_ICNT=1 "
    "RTN_INDX=[1,2,3] RTN_STAT=[1,2,3] PGM_INDX=[7] PGM_STAT=[5] FAIL_PIN=12:0xff0f VECT_NAM=\"v\"",
    "@178 MPR TEST_NUM=300 HEAD_NUM=1 SITE_NUM=1 TEST_FLG=0x00 PARM_FLG=0x00 RTN_ICNT=2 RSLT_CNT=2 "
    "RTN_STAT=[1,2] RTN_RSLT=[1.5,-2.25] TEST_TXT=\"MULTI\"",
    "@209 GDR FLD_CNT=5 GEN_DATA=7 GEN_DATA=\"hi\" GEN_DATA=-5 GEN_DATA=0.1",
    "@234 PLR GRP_CNT=2 GRP_INDX=[1,2] GRP_MODE=[10,20] GRP_RADX=[2,16] PGM_CHAR=[\"a\",\"b\"] "
    "RTN_CHAR=[\"c\",\"d\"]",
    "@258 UNKNOWN REC_TYP=99 REC_SUB=1 REC_LEN=4",
    "@266 BPS SEQ_NAME=\"seq\"",
    "@274 EPS",
    "@278 DTR TEXT_DAT=\"a \\\\ b\"",
    "@288 WCR WAFR_SIZ=200 DIE_HT=0 DIE_WID=0 WF_UNITS=3 WF_FLAT=\"D\" CENTER_X=-1 CENTER_Y=1",
    "@310 PRR HEAD_NUM=1 SITE_NUM=1 PART_FLG=0x08 NUM_TEST=1 HARD_BIN=5 SOFT_BIN=50 X_COORD=-32768 "
    "Y_COORD=-32768 TEST_T=12 PART_ID=\"P1\"",
    "@334 HBR HEAD_NUM=255 SITE_NUM=255 HBIN_NUM=5 HBIN_CNT=1 HBIN_PF=\"F\" HBIN_NAM=\"VOUT\"",
    "@352 SBR HEAD_NUM=255 SITE_NUM=255 SBIN_NUM=50 SBIN_CNT=1 SBIN_PF=\"F\" SBIN_NAM=\"VOUT\"",
    "@370 PCR HEAD_NUM=255 SITE_NUM=255 PART_CNT=1 RTST_CNT=0 ABRT_CNT=0 GOOD_CNT=0",
    "@392 MRR FINISH_T=1700000001 DISP_COD=\" \"",
};

// Whole, the file reads as EVERY_KIND in both byte orders. Cut anywhere, it delivers every record
// that ends before the cut, then names the offset of the record the cut falls in (a cut between
// records is a clean end). From memory and from a stream alike.
TEST(StdfReaderTest, DecodesEveryKindOfFieldAndNamesWhereAFileIsCut) {
  for (const bool big : {false, true}) {
    SCOPED_TRACE(big ? "big-endian" : "little-endian");
    // Big-endian: the same records, but for the FAR that says so.
    std::vector<std::string> expected = EVERY_KIND;
    if (big) expected[0] = "@0 FAR CPU_TYPE=1 STDF_VER=4";
    const std::string bytes = everyKind(big);
    std::vector<std::uint64_t> starts;
    for (const std::string& line : expected) starts.push_back(std::stoull(line.substr(1)));
    starts.push_back(bytes.size());
    for (std::size_t cut = 0, complete = 0; cut <= bytes.size(); ++cut) {
      SCOPED_TRACE("cut at " + std::to_string(cut));
      while (complete < expected.size() && starts[complete + 1] <= cut) ++complete;
      const Reading memory = readBytes(bytes.substr(0, cut));
      EXPECT_EQ(memory.lines,
                std::vector<std::string>(expected.begin(),
                                         expected.begin() + static_cast<std::ptrdiff_t>(complete)));
      if (cut > 0 && cut == starts[complete]) {
        // Between records the framing is whole; ate-datalog reports a missing MRR.
        EXPECT_EQ(memory.error, "");
      } else {
        EXPECT_EQ(memory.errorOffset, starts[complete]);
        EXPECT_EQ(memory.kind, cut == 0 ? stdf::ErrorKind::NOT_STDF : stdf::ErrorKind::TRUNCATED);
        EXPECT_FALSE(memory.error.empty());
      }
      const Reading stream = readStream(bytes.substr(0, cut));
      EXPECT_EQ(stream.lines, memory.lines);
      EXPECT_EQ(stream.error, memory.error);
    }
  }
}

TEST(StdfReaderTest, DamageIsNamedWithItsOffset) {
  const std::string farLe = far(false);
  using Kind = stdf::ErrorKind;
  struct Case {
    const char* what;
    std::string bytes;
    Kind kind;
    std::string error;
    std::size_t recordsBefore;
  };
  const Case cases[] = {
      {"empty", "", Kind::NOT_STDF, "byte 0: no FAR record first: the file is empty", 0},
      {"no FAR first", pir(false, 1) + farLe, Kind::NOT_STDF,
       "byte 0: no FAR record first: not an STDF file", 0},
      {"VAX byte order", record(0, 10, Fields(false).u1(0).u1(4)), Kind::NOT_STDF,
       "byte 4: FAR CPU_TYPE 0 is not one this reader reads (1 = big-endian, 2 = little-endian)",
       0},
      {"STDF V3", record(0, 10, Fields(false).u1(2).u1(3)), Kind::NOT_STDF,
       "byte 5: STDF_VER 3 is not 4", 0},
      {"length in the other byte order", record(0, 10, Fields(true).u1(2).u1(4)), Kind::NOT_STDF,
       "byte 0: FAR record length 512 does not match its CPU_TYPE's byte order", 0},
      {"field past its record", farLe + pir(false, 1) + ptrPastItsEnd(false), Kind::MALFORMED,
       pastItsRecord(28, "TEST_TXT", "PTR", 12, 15), 2},
      {"a fixed field cut by its record",
       farLe + record(5, 20, Fields(false).u1(1).u1(1).u1(0).u1(7)), Kind::MALFORMED,
       pastItsRecord(13, "NUM_TEST", "PRR", 6, 4), 1},
      {"GEN_DATA type code", farLe + record(50, 10, Fields(false).u2(1).u1(9)), Kind::MALFORMED,
       "byte 12: unknown GEN_DATA type code 9 in the GDR record at byte 6", 1},
      {"kx array past its record", farLe + record(1, 80, Fields(false).u1(1).u1(1).u1(4).u1(1)),
       Kind::MALFORMED, pastItsRecord(13, "SITE_NUM", "SDR", 6, 4), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Reading r = readBytes(c.bytes);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.kind, c.kind);
    EXPECT_EQ(r.lines.size(), c.recordsBefore);
    EXPECT_EQ(readStream(c.bytes).error, c.error);
  }
}

// Two sites, four parts: site 1 passes both, site 2 fails one on a limit and ends one abnormally.
std::string twoSites(bool big) {
  // No high limit from here on, the low one as before; a result that isn't valid.
  Fields noHigh(big);
  noHigh.u4(101).u1(1).u1(2).u1(0x80).u1(0).r4(9.0f).cn("").cn("").u1(0x90).i1(0).i1(0).i1(0);
  noHigh.r4(-7.0f).r4(0.0f);
  return far(big) + pir(big, 1) + pir(big, 2) + ptr(big, 100, 1, 0, 1.5f, "VOUT", 1.0f, 2.0f, "V") +
         ptr(big, 100, 2, 0x80, 2.5f, "", 1.0f, 2.0f, "") +
         ptr(big, 101, 1, 0, 3.0f, "IQ", 0.0f, 5.0f, "mA") + prr(big, 1, 0, 1, 1, "1", 10) +
         prr(big, 2, 0x08, 5, 50, "2", 11) + pir(big, 1) + pir(big, 2) +
         shortPtr(big, 100, 1, 0, 1.25f) + shortPtr(big, 100, 2, 0, 1.75f) +
         record(15, 10, noHigh) +
         record(15, 10, Fields(big).u4(101).u1(1).u1(1).u1(0x02).u1(0).r4(1e9f)) +
         prr(big, 1, 0, 1, 1, "3", 12) + prr(big, 2, 0x04, 99, 99, "4", 13) +
         bin(big, true, 1, 2, 5, 1, 'F', "per-site name") +
         bin(big, true, 255, 255, 1, 2, 'P', "PASS") +
         bin(big, true, 255, 255, 5, 1, 'F', "VOUT_FAIL") +
         bin(big, false, 255, 255, 1, 2, 'P', "PASS");
}

TEST(DatalogSummaryTest, YieldBinsAndTestStatistics) {
  stdf::DatalogSummary summary;
  for (const bool big : {false, true}) {
    const std::string bytes = twoSites(big);
    stdf::StdfReader reader(bytes.data(), bytes.size());
    stdf::Record r;
    while (reader.next(r)) summary.add(r);
    ASSERT_EQ(reader.error(), nullptr);
    summary.endFile();
  }
  // Both files, summed: parts and good ones of sites 1 and 2.
  ASSERT_EQ(summary.sites().size(), 2u);
  const auto& sites = summary.sites();
  EXPECT_EQ(std::tie(sites.at(1).parts, sites.at(1).good, sites.at(2).parts, sites.at(2).good),
            std::make_tuple(4u, 4u, 4u, 0u));
  EXPECT_DOUBLE_EQ(summary.overall().yield(), 0.5);

  auto binText = [](const std::vector<stdf::BinCount>& bins, std::string text = "") {
    for (const auto& b : bins) {
      text += std::to_string(b.number) + " " + b.name + " " + b.passFail + " " +
              std::to_string(b.count) + ";";
    }
    return text;
  };
  EXPECT_EQ(binText(summary.hardBins()), "1 PASS P 4;5 VOUT_FAIL F 2;99  F 2;");
  EXPECT_EQ(binText(summary.softBins()), "1 PASS P 4;50  F 2;99  F 2;");

  ASSERT_EQ(summary.tests().size(), 2u);
  const stdf::TestStats& vout = summary.tests()[0];
  EXPECT_EQ(std::tie(vout.number, vout.name, vout.unit, vout.low, vout.high, vout.count, vout.fails,
                     vout.min, vout.max),
            std::make_tuple(100u, "VOUT", "V", 1.0, 2.0, 8u, 2u, 1.25, 2.5));
  EXPECT_DOUBLE_EQ(vout.mean, 1.75);
  // Deviations -0.25, 0.75, -0.5, 0 twice: 1.75 / 7.
  EXPECT_DOUBLE_EQ(vout.sd(), std::sqrt(1.75 / 7));
  EXPECT_DOUBLE_EQ(*vout.cpk(), 0.25 / (3 * std::sqrt(1.75 / 7)));

  // 3 and 9 from each file are its values; 1e9 is not a valid result.
  const stdf::TestStats& iq = summary.tests()[1];
  EXPECT_EQ(std::tie(iq.name, iq.unit, iq.low, iq.high, iq.count, iq.fails, iq.values, iq.max),
            std::make_tuple("IQ", "mA", 0.0, std::optional<double>(), 6u, 2u, 4u, 9.0));
  EXPECT_FALSE(iq.cpk().has_value());

  const stdf::PartOutcome& site2 = summary.lastParts().at(2);
  EXPECT_EQ(
      std::tie(site2.partId, site2.passed, site2.hardBin, site2.failedTest, site2.failedTestName),
      std::make_tuple("4", false, 99u, 101u, "IQ"));
  EXPECT_TRUE(summary.lastParts().at(1).passed);
  EXPECT_FALSE(summary.lastParts().at(1).failedTest.has_value());
}

// A small file of our own writer's shape: two sites, one part each.
std::string smallDatalog() {
  const bool le = false;
  return far(le) + mir(le, 0, 0, 1, "LOT7") + pir(le, 1) + pir(le, 2) +
         ptr(le, 100, 1, 0, 1.5f, "VOUT, load", 1.0f, 2.0f, "V") +
         ptr(le, 100, 2, 0x80, 2.25f, "VOUT, load", 1.0f, 2.0f, "V") +
         record(15, 20, Fields(le).u4(200).u1(1).u1(1).u1(0).u1(0xff)) +
         record(15, 20, Fields(le).u4(200).u1(1).u1(2).u1(0x80).u1(0xff)) +
         prr(le, 1, 0, 1, 1, "1", 20) + prr(le, 2, 0x08, 5, 50, "2", 21) +
         bin(le, true, 255, 255, 1, 1, 'P', "PASS") + bin(le, true, 255, 255, 5, 1, 'F', "VOUT") +
         bin(le, false, 255, 255, 1, 1, 'P', "PASS") +
         bin(le, false, 255, 255, 50, 1, 'F', "VOUT") + record(1, 20, Fields(le).u4(0));
}

// Runs ate-datalog in process: its status, output and errors.
std::tuple<int, std::string, std::string> runTool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  const int status = runDatalogTool(args, out, err);
  return {status, out.str(), err.str()};
}

// Each command on a whole file, on several, on files cut short, and with bad arguments.
TEST(DatalogToolTest, CommandsOnWholeDamagedAndMissingFiles) {
  TempDir dir;
  const std::string bytes = smallDatalog();
  const std::string path = dir.write("small.stdf", bytes);
  // Cut inside the second PRR, and cut between records before the MRR.
  const std::string inside = dir.write("inside.stdf", bytes.substr(0, 190));
  const std::string between = dir.write("between.stdf", bytes.substr(0, 201));
  const std::string missing = dir.path("missing.stdf");
  const std::string summary =
      "Parts\n"
      "  site  parts  good    yield\n"
      "  1         1     1  100.00%\n"
      "  2         1     0    0.00%\n"
      "  all       2     1   50.00%\n"
      "\n"
      "Hard bins\n"
      "  bin  name  P/F  count  percent\n"
      "    1  PASS  P        1   50.00%\n"
      "    5  VOUT  F        1   50.00%\n"
      "\n"
      "Soft bins\n"
      "  bin  name  P/F  count  percent\n"
      "    1  PASS  P        1   50.00%\n"
      "   50  VOUT  F        1   50.00%\n"
      "\n"
      "Tests\n"
      "  test  name        unit  low  high  count  fails  min   max   mean       sd        cpk\n"
      "   100  VOUT, load  V       1     2      2      1  1.5  2.25  1.875  0.53033  0.0785674\n"
      "   200  -           -       -     -      2      1    -     -      -        -          -\n"
      "\n"
      "Last part per site\n"
      "  site  part  result  hard bin  soft bin  first failed test\n"
      "  1     1     PASS           1         1  -\n"
      "  2     2     FAIL           5        50  100 VOUT, load\n";
  const std::string csv =
      "SITE,PART_ID,HARD_BIN,SOFT_BIN,PASS_FAIL,TEST_T,\"100 VOUT, load [V]\",200\n"
      "1,1,1,1,PASS,20,1.5,P\n"
      "2,2,5,50,FAIL,21,2.25,F\n";
  // Each record as the reader formats it (checked record by record above), one a line.
  std::string dump;
  for (const std::string& line : readBytes(bytes).lines) dump += line + "\n";
  const std::string cutErr = "ate-datalog: " + inside +
                             ": byte 178: PRR record of 19 bytes runs past the end of the file "
                             "(8 of them there)\n";
  const std::string noFile = "ate-datalog: cannot open " + missing + "\n";
  const std::string usage = std::get<1>(runTool({"--help"}));
  ASSERT_EQ(usage.rfind("usage: ate-datalog ", 0), 0u) << usage;
  const std::string noMrr =
      "ate-datalog: " + between + ": byte 201: the file ends without an MRR record (cut short)\n";
  // Bytes after the last field: two PIRs with 2 each, a PRR with 1 and a PRR without.
  const auto prrOf = [](int site, const std::string& after) {
    Fields data(false);
    data.u1(1).u1(site).u1(0).u2(1).u2(1).u2(1).i2(0).i2(0).u4(0).cn("1").cn("").cn("");
    return record(5, 20, data.raw(after));
  };
  const std::string padded = dir.write(
      "padded.stdf", far(false) + record(5, 10, Fields(false).u1(1).u1(1).raw("xy")) +
                         record(5, 10, Fields(false).u1(1).u1(2).raw("xy")) + prrOf(1, "z") +
                         prrOf(2, "") + record(1, 20, Fields(false).u4(0).c1(' ').cn("").cn("")));
  const std::string paddedErr =
      "ate-datalog: " + padded +
      ": byte 6: PIR records carry bytes after their last field (2 in this one); they are left "
      "out\n"
      "ate-datalog: " +
      padded +
      ": byte 22: PRR records carry bytes after their last field (1 in this one); they are left "
      "out\n";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string out;
    bool whole;  // the output is `out`, or holds it
    std::string err;
  } runs[] = {
      {{"summary", path}, DATALOG_OK, summary, true, ""},
      {{"csv", path}, DATALOG_OK, csv, true, ""},
      {{"dump", path}, DATALOG_OK, dump, true, ""},
      // Several files are summed.
      {{"summary", path, path}, DATALOG_OK, "  all       4     2   50.00%\n", false, ""},
      // What comes before the damage, then the damage.
      {{"dump", inside}, DATALOG_DAMAGED, dump.substr(0, dump.find("@178")), true, cutErr},
      {{"csv", inside}, DATALOG_DAMAGED, csv.substr(0, csv.find("2,2,")), true, cutErr},
      {{"summary", between}, DATALOG_DAMAGED, "  all       2     1   50.00%\n", false, noMrr},
      {{"summary", missing}, DATALOG_USAGE, "  all       0     0  0.00%\n", false, noFile},
      // Bytes after the last field are shown, said once per record type, and no damage.
      {{"dump", padded},
       DATALOG_OK,
       "@6 PIR HEAD_NUM=1 SITE_NUM=1 (2 bytes after the last field)\n"
       "@14 PIR HEAD_NUM=1 SITE_NUM=2 (2 bytes after the last field)\n",
       false,
       ""},
      {{"dump", padded}, DATALOG_OK, "PART_FIX=0x (1 byte after the last field)\n@", false, ""},
      {{"summary", padded}, DATALOG_OK, "  all       2     2  100.00%\n", false, paddedErr},
      // Bad arguments: the usage, as --help prints it, on the error stream.
      {{}, DATALOG_USAGE, "", true, usage},
      {{"dump"}, DATALOG_USAGE, "", true, usage},
      {{"csv", inside, inside}, DATALOG_USAGE, "", true, usage},
      {{"list", inside}, DATALOG_USAGE, "", true, usage},
  };
  for (const auto& run : runs) {
    SCOPED_TRACE(testing::PrintToString(run.args));
    const auto [status, out, err] = runTool(run.args);
    EXPECT_EQ(status, run.status);
    if (run.whole) {
      EXPECT_EQ(out, run.out);
    } else {
      EXPECT_NE(out.find(run.out), std::string::npos) << out;
    }
    EXPECT_EQ(err, run.err);
  }
}

// A datalog as the writer grows it: header, then per pass its parts and the summary records,
// which the next pass overwrites.
TEST(StdfFollowerTest, DeliversEachPartOnceAndStopsAtTheSummary) {
  const bool le = false;
  const std::string header = far(le) + record(1, 80, Fields(le).u1(1).u1(1).u1(2).u1(1).u1(2));
  // Site 2's part is still open when site 1's ends: nothing is consumed in between.
  const std::string pass = pir(le, 1) + pir(le, 2) + ptr(le, 100, 1, 0, 1.5f, "VOUT", 1, 2, "V") +
                           ptr(le, 100, 2, 0, 1.6f, "VOUT", 1, 2, "V") + prr(le, 1, 0, 1, 1, "1") +
                           prr(le, 2, 0, 1, 1, "2");
  // `names`, then the records of a pass that starts at byte `at`, as collect names them.
  auto withPass = [](std::vector<std::string> names, std::uint64_t at) {
    const std::pair<const char*, int> records[] = {{"PIR@", 0},  {"PIR@", 6},  {"PTR@", 12},
                                                   {"PTR@", 48}, {"PRR@", 84}, {"PRR@", 107}};
    for (const auto& r : records) names.push_back(r.first + std::to_string(at + r.second));
    return names;
  };
  const std::string tail =
      bin(le, true, 255, 255, 1, 2, 'P', "PASS") + record(1, 20, Fields(le).u4(0));

  TempDir dir;
  stdf::StdfFollower follower;
  std::vector<std::string> seen;
  auto collect = [&](const stdf::Record& r) {
    seen.push_back(std::string(r.name) + "@" + std::to_string(r.offset));
  };
  const std::string path = dir.write("grow.stdf", header + pass + tail);
  struct Step {
    const char* what;
    std::string file;
    std::vector<std::string> records;
    std::uint64_t offset;
  };
  const std::uint64_t afterPass1 = header.size() + pass.size();
  const std::uint64_t afterPass2 = afterPass1 + pass.size();
  const std::string done = header + pass;  // the first pass, whole
  const Step steps[] = {
      {"first pass", done + tail, withPass({"FAR@0", "SDR@6"}, header.size()), afterPass1},
      {"nothing new", done + tail, {}, afterPass1},
      {"second pass half written", done + pass.substr(0, 100), {}, afterPass1},
      {"cut inside the last PRR", done + pass.substr(0, pass.size() - 3), {}, afterPass1},
      {"second pass", done + pass + tail, withPass({}, afterPass1), afterPass2},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    dir.write("grow.stdf", step.file);
    seen.clear();
    const stdf::StdfFollower::Update update = follower.update(path, collect);
    EXPECT_EQ(update.error, nullptr);
    EXPECT_EQ(seen, step.records);
    EXPECT_EQ(update.records, step.records.size());
    EXPECT_EQ(follower.offset(), step.offset);
    EXPECT_EQ(update.atSummary, step.file.size() > step.offset &&
                                    step.file.compare(step.offset, tail.size(), tail) == 0);
  }
  std::vector<stdf::Record> summary;
  EXPECT_TRUE(follower.readSummary(path, summary));
  ASSERT_EQ(summary.size(), 2u);
  EXPECT_EQ(summary[0].textValue("HBIN_NAM"), "PASS");

  // Damage after what was consumed is an error; so is a file that shrank.
  dir.write("grow.stdf", done + pass + ptrPastItsEnd(le));
  const auto damaged = follower.update(path, collect);
  ASSERT_NE(damaged.error, nullptr);
  EXPECT_EQ(damaged.error->message,
            pastItsRecord(afterPass2 + 16, "TEST_TXT", "PTR", afterPass2, 15));
  dir.write("grow.stdf", header);
  const auto shrunk = follower.update(path, collect);
  ASSERT_NE(shrunk.error, nullptr);
  EXPECT_EQ(shrunk.error->kind, stdf::ErrorKind::NOT_STDF);
}

}  // namespace

namespace {

// A PTR read in place (as summary reads the millions of them) gives the fields its whole decoding
// gives, for any length of the record and either byte order, and declines exactly the records
// the decoder refuses.
TEST(StdfReader, APtrReadInPlaceIsThePtrDecodedWhole) {
  for (const bool big : {false, true}) {
    Fields full(big);
    full.u4(70001).u1(2).u1(3).u1(0x80).u1(0xc0).r4(1.25f).cn("VOUT").cn("A1").u1(0x0e);
    full.i1(-3).i1(0).i1(0).r4(0.5f).r4(2.5f).cn("mV").cn("%7.3f").cn("").cn("").r4(0.25f);
    full.r4(3.0f).raw("xy");  // two bytes after its last field
    const std::string data = full.bytes();
    for (std::size_t length = 0; length <= data.size(); ++length) {
      SCOPED_TRACE((big ? "big-endian, " : "little-endian, ") + std::to_string(length) + " bytes");
      const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
      const stdf::ByteOrder order = big ? stdf::ByteOrder::BIG : stdf::ByteOrder::LITTLE;
      stdf::Record record;
      record.type = 15;
      record.sub = 10;
      record.length = static_cast<std::uint16_t>(length);
      stdf::ReadError error;
      const bool decoded = stdf::decodeRecord(bytes, order, record, error);
      stdf::PtrFields inPlace;
      ASSERT_EQ(stdf::readPtr(bytes, length, order, inPlace), decoded);
      if (!decoded) continue;
      const stdf::PtrFields whole = stdf::ptrFields(record);
      EXPECT_EQ(std::tie(inPlace.present, inPlace.extra, inPlace.testNumber, inPlace.head,
                         inPlace.site, inPlace.testFlags, inPlace.optFlag, inPlace.result,
                         inPlace.lowLimit, inPlace.highLimit, inPlace.text, inPlace.units),
                std::tie(whole.present, whole.extra, whole.testNumber, whole.head, whole.site,
                         whole.testFlags, whole.optFlag, whole.result, whole.lowLimit,
                         whole.highLimit, whole.text, whole.units));
    }
  }
}

}  // namespace

namespace {

// A file read from a stream, a chunk at a time, reads as the same bytes in memory do: records
// across the chunks' edges, and a file cut off in a record well past the first chunk.
TEST(StdfReader, AStreamReadInChunksReadsAsTheBytesInMemory) {
  std::string bytes = far(false);
  for (int i = 0; bytes.size() < (5u << 19); ++i) {
    bytes += pir(false, 1 + i % 4) +
             ptr(false, 1 + i % 50, 1 + i % 4, 0, 0.5f * i, "T", 0, 9, "V") +
             prr(false, 1 + i % 4, 0, 1, 1, std::to_string(i));
  }
  for (const std::size_t size : {bytes.size(), bytes.size() - 7}) {
    const std::string file = bytes.substr(0, size);
    const Reading inMemory = readBytes(file);
    const Reading streamed = readStream(file);
    EXPECT_GT(inMemory.lines.size(), 100000u);
    EXPECT_EQ(streamed.lines, inMemory.lines);
    EXPECT_EQ(streamed.error, inMemory.error);
    EXPECT_EQ(size == bytes.size(), inMemory.error.empty()) << inMemory.error;
  }
}

}  // namespace
