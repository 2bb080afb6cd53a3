#include "check/Checker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "check/ExportTable.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestFiles.h"
#include "utils/LimitText.h"

namespace {

std::vector<std::string> lines(const std::vector<Finding>& findings) {
  std::vector<std::string> out;
  for (const Finding& finding : findings) out.push_back(formatFinding(finding));
  return out;
}

// One item with the given text spliced in place of its fields from funcId to funcName.
std::string item(const std::string& head, const std::string& results, bool select = true,
                 const std::string& tail = "") {
  return R"({"failJump": "", "flag": "", "funcDesc": "d", )" + head +
         R"(, "hbin": 1, "level": {"clampHi": "", "clampLow": "", "iOH": "", "iOL": "", "vIH": "",
         "vIL": "", "vOH": "", "vOL": "", "vT": ""}, "loop": 1, "passJump": "", "pattern": "",
         "results": [)" +
         results + R"(], "sbin": 1, "select": )" + (select ? "true" : "false") + tail + "}";
}

std::string result(int paramId, const std::string& min, const std::string& max) {
  return R"({"max": )" + max + R"(, "min": )" + min + R"(, "paramId": )" + std::to_string(paramId) +
         R"(, "paramName": "p", "unit": "V"})";
}

// A test program with one of each mistake planted, against a library without test_start: every
// one is reported, errors of reading first, in file order, with its path, and the library's code
// never runs (it would announce itself on standard output).
TEST(CheckerTest, ReportsEveryPlantedProblemWithItsPath) {
  TempDir dir;
  const std::string flow = dir.write(
      "flow.json",
      "{\"testItems\": [" +
          item(R"("funcId": 1, "funcName": "test_pass")",
               result(10, R"("0")", R"("1.5")") + "," + result(11, R"("2")", R"("1")")) +
          "," + item(R"("funcId": 1, "funcName": "test_pasz")", result(10, R"("")", R"("1mA")")) +
          "," +
          item(R"("funcId": 2.5e10, "funcName": "test_fail")", result(12, R"("-1")", "5"), true,
               R"(, "extra": 1)") +
          "," + item(R"("funcId": 4, "funcName": "bad name")", "", false) + "," +
          R"({"funcName": "test_pass2", "select": "yes"})" + "," +
          item(R"("funcId": true, "funcName": "test_pass2")", "") + "]}");
  const std::string loops =
      dir.write("loops.json",
                R"({"executeSetting": {"failstop": false, "loopcount": 4294967295},
          "dutSetting": {"selectDUT": ["A", "B", "A"]}})");
  const std::string empty = dir.write(
      "empty.json",
      R"({"executeSetting": {"failstop": 0, "loopcount": 1}, "dutSetting": {"selectDUT": []}})");
  const std::string broken = dir.write("broken.json", "\xef\xbb\xbf[");
  const std::string missing = dir.path("missing.json");
  const std::string library = fixturePath("fixture_nostart");

  testing::internal::CaptureStdout();
  const std::vector<Finding> findings =
      checkProgram({library, flow, {loops, empty, broken, missing}});
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

  const std::string absent = ": error: is missing (every key is required)";
  const std::string item4 = flow + ": /testItems/4/";
  std::vector<std::string> expected = {
      flow +
          ": /testItems/2/funcId: error: the number 25000000000.0 does not fit a 32-bit "
          "integer (a number written with a fraction or an exponent must lie between "
          "-2147483648 and 2147483647)",
      flow +
          ": /testItems/2/results/0/max: error: must be a string holding the limit (write "
          "\"5\", not 5), but is a number"};
  // Item 4 lacks every key but funcName and select.
  for (const char* key : {"failJump", "flag", "funcDesc", "funcId", "hbin", "level", "loop",
                          "passJump", "pattern", "results", "sbin"}) {
    expected.push_back(item4 + key + absent);
  }
  expected.insert(
      expected.end(),
      {item4 + "select: error: must be true or false, but is a string",
       flow + ": /testItems/0/results/1: warning: min 2 is above max 1: no value can pass",
       flow + ": /testItems/1/funcId: warning: funcId 1 is also used by /testItems/0",
       flow + ": /testItems/1/results/0/paramId: warning: paramId 10 is also used by "
              "/testItems/0/results/0 (the datalog's test numbers should be unique)",
       flow + ": /testItems/1/results/0/max: warning: the limit \"1mA\" is no number (the datalog "
              "takes it as no limit)",
       flow + ": /testItems/3/funcName: warning: \"bad name\" can't be the exported name of a "
              "C function (letters, digits and '_', not starting with a digit)",
       flow + ": /testItems/5/funcId: warning: funcId 1 is also used by /testItems/0",
       library + ": error: exports no test_start: every run ends before its first test "
                 "function",
       flow + ": /testItems/1/funcName: error: \"test_pasz\" is not exported by " + library +
           ": the driver skips this item on every pass",
       loops + ": /executeSetting/loopcount: warning: reads as -1: a negative loop count "
               "runs no pass",
       loops + ": /dutSetting/selectDUT/2: warning: device \"A\" is also named at "
               "/dutSetting/selectDUT/0",
       empty + ": /executeSetting/failstop: error: must be true or false, but is a number",
       broken + ": error: is not valid JSON: parse error at line 1, column 5: syntax error "
                "while parsing value - unexpected end of input; expected '[', '{', or a "
                "literal",
       missing + ": error: does not exist"});
  EXPECT_EQ(lines(findings), expected);
  EXPECT_EQ(checkStatus(findings), 2);

  // The JSON form carries the same findings.
  const nlohmann::json report = nlohmann::json::parse(findingsJson(findings));
  EXPECT_EQ(report["errors"], 19);
  EXPECT_EQ(report["warnings"], 8);
  EXPECT_EQ(report["findings"][1]["path"], "/testItems/2/results/0/max");
  EXPECT_EQ(report["findings"][1]["severity"], "error");
}

// Warnings only give 1, a clean program 0; a flow that selects nothing and a setting with no
// device are worth a warning.
TEST(CheckerTest, StatusTellsWarningsFromErrors) {
  TempDir dir;
  const std::string flow = dir.write("flow.json", flowJson({{"test_pass"}}));
  const std::string setting = dir.write("setting.json", settingJson(0, true, {"A", "B"}));
  EXPECT_EQ(lines(checkProgram({fixturePath("fixture_full"), flow, {setting}})),
            std::vector<std::string>());

  const std::string idle = dir.write("idle.json", flowJson({{"test_pass", false}}));
  const std::string nobody = dir.write("nobody.json", settingJson(1, false, {}));
  const std::vector<Finding> findings = checkProgram({"", idle, {nobody}});
  EXPECT_EQ(lines(findings),
            (std::vector<std::string>{
                idle + ": /testItems: warning: no item is selected: a run calls no test function",
                nobody + ": /dutSetting/selectDUT: warning: is empty: the run names no device "
                         "under test"}));
  EXPECT_EQ(checkStatus(findings), 1);
}

// The checker warns about a limit exactly when the datalog takes it as no limit: both read it by
// parseLimit. White space around a number is allowed; only decimal and exponent forms of a finite
// number are numbers.
TEST(CheckerTest, LimitTextsReadAsTheDatalogReadsThem) {
  struct Case {
    std::string text;
    bool present, malformed;
    double value;
  };
  const Case cases[] = {
      {"", false, false, 0},
      {" 3.3", true, false, 3.3},
      {"3.3 ", true, false, 3.3},
      {"0x10", false, true, 0},
      {"1e3", true, false, 1e3},
      {"inf", false, true, 0},
      {"nan", false, true, 0},
      {"-0", true, false, -0.0},
      {"1,5", false, true, 0},
      {"3.3V", false, true, 0},
      {"+2", true, false, 2},
      {".5", true, false, 0.5},
      {"\t-1E-3\t", true, false, -1e-3},
      {"+-1", false, true, 0},
      {"1e999", false, true, 0},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE("limit '" + c.text + "'");
    const Limit limit = parseLimit(c.text);
    EXPECT_EQ(limit.present, c.present);
    EXPECT_EQ(limit.malformed, c.malformed);
    if (c.present) {
      EXPECT_EQ(limit.value, c.value);
    }

    const std::string flow =
        dir.write("flow.json", "{\"testItems\": [" +
                                   item(R"("funcId": 1, "funcName": "test_pass")",
                                        result(10, nlohmann::json(c.text).dump(), R"("")")) +
                                   "]}");
    const std::vector<std::string> found = lines(checkProgram({"", flow, {}}));
    const bool warned = std::any_of(found.begin(), found.end(), [](const std::string& line) {
      return line.find("/min: warning: the limit") != std::string::npos;
    });
    EXPECT_EQ(warned, c.malformed);
  }
}

bool has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The libraries of both formats, whole and damaged: the whole ones list what they export and
// nothing they don't; a damaged copy gives the same list or a message, never a crash (the
// sanitizer builds watch the reads).
TEST(ExportTableTest, ReadsBothFormatsAndSurvivesDamage) {
  struct Library {
    std::string path, format;
    bool hasInit;
  };
  std::vector<Library> libraries = {
      {fixturePath("fixture_full"), ATE_NATIVE_FORMAT, true},
      {fixturePath("fixture_noinit"), ATE_NATIVE_FORMAT, false},
  };
#ifdef ATE_FOREIGN_FIXTURE
  // Built by the other platform's compiler when the build machine has it; the hand-made seeds
  // below cover both formats either way.
  libraries.push_back({ATE_FOREIGN_FIXTURE, ATE_FOREIGN_FORMAT, true});
#endif
  for (const Library& library : libraries) {
    SCOPED_TRACE(library.path);
    ExportTable table;
    std::string error;
    ASSERT_TRUE(readExportTableFile(library.path, table, error)) << error;
    EXPECT_EQ(table.format, library.format);
    for (const char* name : {"test_start", "test_end", "test_pass", "test_record"}) {
      EXPECT_TRUE(has(table.names, name)) << name;
    }
    EXPECT_EQ(has(table.names, "prj_init"), library.hasInit);
    EXPECT_FALSE(has(table.names, "say"));                                   // internal
    EXPECT_FALSE(has(table.names, "dlopen") || has(table.names, "printf"));  // imported

    std::ifstream file(library.path, std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(file), {}};
    if (library.format == "ELF" && bytes[4] == 2) {
      // Without section headers the table is found through the dynamic segment.
      std::vector<unsigned char> stripped = bytes;
      std::fill(stripped.begin() + 40, stripped.begin() + 48, 0);  // e_shoff
      std::fill(stripped.begin() + 60, stripped.begin() + 62, 0);  // e_shnum
      ExportTable dynamic;
      EXPECT_TRUE(readExportTable(stripped.data(), stripped.size(), dynamic, error)) << error;
      EXPECT_EQ(dynamic.names, table.names);
    }
    // Truncated at every offset of the headers and at 400 more across the file.
    std::size_t failed = 0;
    for (std::size_t i = 0; i < 1024 + 400; ++i) {
      const std::size_t length = i < 1024 ? i : bytes.size() * (i - 1023) / 401;
      const std::vector<unsigned char> cut(bytes.begin(), bytes.begin() + length);
      ExportTable partial;
      if (readExportTable(cut.data(), cut.size(), partial, error)) {
        EXPECT_EQ(partial.names, table.names) << "cut at " << length;
      } else {
        EXPECT_FALSE(error.empty()) << "cut at " << length;
        ++failed;
      }
    }
    EXPECT_GE(failed, 1024u);
  }

  // The hand-made seeds of the fuzz target: 32- and 64-bit, both byte orders, SysV and GNU hash
  // tables, with and without section headers, PE32 and PE32+.
  ExportTable table;
  std::string error;
  for (const char* seed : {"elf_64_le", "elf_32_le", "elf_64_be", "elf_32_be_gnu_hash_no_sections",
                           "elf_64_le_no_sections", "pe_64", "pe_32"}) {
    EXPECT_TRUE(readExportTableFile(std::string(ATE_EXPORT_SEEDS) + "/" + seed, table, error))
        << seed << ": " << error;
    EXPECT_EQ(table.names, (std::vector<std::string>{"prj_init", "test_start", "test_end"}))
        << seed;
  }
  const std::string text = "{\"testItems\": []}";
  EXPECT_FALSE(readExportTable(reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                               table, error));
  EXPECT_EQ(error, "no shared library (neither an ELF shared object nor a PE DLL)");
}

}  // namespace
