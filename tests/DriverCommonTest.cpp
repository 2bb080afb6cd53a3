#include "utils/DriverCommon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "tests/support/TestFiles.h"
#include "utils/RecordReader.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// A setting document with the given loopcount value (as JSON text).
std::string settingWithLoopcount(const std::string& loopcount) {
  return R"({"executeSetting": {"failstop": true, "loopcount": )" + loopcount +
         R"(}, "dutSetting": {"selectDUT": ["A", "B"]}})";
}

class DriverCommonTest : public testing::Test {
 protected:
  std::optional<Setting> readSetting(const std::string& text) {
    return common.analysisSettingFile(dir.write("setting.json", text));
  }
  std::optional<FlowMessage> readFlow(const std::string& text) {
    CaptureStdout();
    std::optional<FlowMessage> flow;
    try {
      flow = common.analysisFlowFile(dir.write("flow.json", text));
    } catch (...) {
      listing = GetCapturedStdout();
      throw;
    }
    listing = GetCapturedStdout();
    return flow;
  }
  // The what() of the failure that reading text as a flow raises; empty if none.
  std::string flowFailure(const std::string& text) {
    try {
      readFlow(text);
    } catch (const std::exception& error) {
      return error.what();
    }
    return "";
  }

  DriverCommon common;
  TempDir dir;
  std::string listing;
};

TEST_F(DriverCommonTest, ReadsEveryFieldOfAFlowAndListsItsItems) {
  std::string text = flowJson({{"first", true, 5}, {"second", false}});
  std::optional<FlowMessage> flow = readFlow(text);
  ASSERT_TRUE(flow);
  ASSERT_EQ(flow->testItems.size(), 2u);
  const TestItem& item = flow->testItems[0];
  EXPECT_EQ(item.failJump, "fj");
  EXPECT_EQ(item.flag, "fl");
  EXPECT_EQ(item.funcDesc, "desc first");
  EXPECT_EQ(item.funcId, 100);
  EXPECT_EQ(item.funcName, "first");
  EXPECT_EQ(item.hbin, 3);
  EXPECT_EQ(item.loop, 5);
  EXPECT_EQ(item.passJump, "pj");
  EXPECT_EQ(item.pattern, "pat");
  EXPECT_EQ(item.sbin, 4);
  EXPECT_TRUE(item.select);
  EXPECT_FALSE(flow->testItems[1].select);
  const Level& level = item.level;
  EXPECT_EQ(level.clampHi + level.clampLow + level.iOH + level.iOL + level.vIH + level.vIL +
                level.vOH + level.vOL + level.vT,
            "chclioh"
            "iolvihvilvohvolvt");
  ASSERT_EQ(item.results.size(), 1u);
  EXPECT_EQ(item.results[0].max, "1.5");
  EXPECT_EQ(item.results[0].min, "-0.5");
  EXPECT_EQ(item.results[0].paramId, 7);
  EXPECT_EQ(item.results[0].paramName, "P0");
  EXPECT_EQ(item.results[0].unit, "V");
  EXPECT_EQ(listing,
            "FuncName: first, FuncId: 100\n"
            "    Result Param: P0, Max: 1.5\n"
            "FuncName: second, FuncId: 101\n"
            "    Result Param: P1, Max: 1.5\n");

  // An empty flow lists nothing; BOM, extra keys and text after the value are fine.
  ASSERT_TRUE(readFlow("{\"testItems\": []}"));
  EXPECT_TRUE(readFlow("{\"testItems\": []}")->testItems.empty());
  EXPECT_EQ(listing, "");
  text.insert(text.find("\"flag\""), "\"extra\": {\"nested\": [1, 2]}, ");
  flow = readFlow("\xEF\xBB\xBF" + text + " trailing {not json");
  ASSERT_TRUE(flow);
  ASSERT_EQ(flow->testItems.size(), 2u);
  EXPECT_EQ(flow->testItems[0].flag, "fl");
  EXPECT_EQ(flow->testItems[1].funcName, "second");
}

TEST_F(DriverCommonTest, ReadsASetting) {
  std::optional<Setting> setting = readSetting(settingWithLoopcount("3"));
  ASSERT_TRUE(setting);
  EXPECT_TRUE(setting->executeSetting.failstop);
  EXPECT_EQ(setting->executeSetting.loopcount, 3);
  EXPECT_EQ(setting->dutSetting.selectDUT, (std::vector<std::string>{"A", "B"}));
}

TEST_F(DriverCommonTest, ConvertsEveryFormOfAnIntField) {
  const std::pair<const char*, int> cases[] = {
      {"0", 0},
      {"true", 1},
      {"false", 0},
      {"2.9", 2},
      {"-2.9", -2},
      {"1e3", 1000},
      {"-2147483648", -2147483647 - 1},
      {"2147483647", 2147483647},
      {"4294967297", 1},                // 2^32 + 1, reduced modulo 2^32
      {"2147483648", -2147483647 - 1},  // 2^31
      {"-4294967295", 1},               // -(2^32 - 1)
      {"18446744073709551615", -1},     // 2^64 - 1
      {"2147483647.9", 2147483647},     // truncated, then fits
  };
  for (const auto& [text, expected] : cases) {
    std::optional<Setting> setting = readSetting(settingWithLoopcount(text));
    ASSERT_TRUE(setting) << text;
    EXPECT_EQ(setting->executeSetting.loopcount, expected) << text;
  }
  // Numbers that can't be an int after truncation are type failures, never undefined casts.
  for (const char* text :
       {"2147483648.0", "-2147483649.5", "1e10", "18446744073709551616", "\"3\"", "null", "[1]"}) {
    EXPECT_THROW(readSetting(settingWithLoopcount(text)), nlohmann::json::type_error) << text;
  }
  // Beyond a double's range the JSON parser itself refuses the number.
  EXPECT_THROW(readSetting(settingWithLoopcount("1e400")), nlohmann::json::out_of_range);
}

TEST_F(DriverCommonTest, FailsWithTheJsonLibrarysKindAndThePathOfTheValue) {
  std::string text = flowJson({{"a"}, {"b"}});

  // A missing key anywhere fails the whole file, naming where.
  std::string noSelect = text;
  noSelect.erase(noSelect.rfind(", \"select\": true"), 16);
  EXPECT_EQ(flowFailure(noSelect),
            "[json.exception.out_of_range.403] (/testItems/1) key 'select' not found");
  EXPECT_EQ(listing, "");  // nothing is listed for a flow that fails

  // A limit must be a string.
  std::string numericMax = text;
  numericMax.replace(numericMax.find("\"1.5\""), 5, "1.5");
  EXPECT_EQ(flowFailure(numericMax),
            "[json.exception.type_error.302] (/testItems/0/results/0/max) type must be string, "
            "but is number");

  std::string badInt = text;
  badInt.replace(badInt.find("\"hbin\": 3"), 9, "\"hbin\": 3e12");
  EXPECT_EQ(flowFailure(badInt),
            "[json.exception.type_error.302] (/testItems/0/hbin) number 3000000000000.0 does not "
            "fit a 32-bit integer");

  EXPECT_THROW(readFlow("{\"testItems\": {}}"), nlohmann::json::type_error);
  EXPECT_THROW(readFlow("[]"), nlohmann::json::type_error);
  EXPECT_THROW(readFlow(""), nlohmann::json::parse_error);
  EXPECT_THROW(readFlow("{\"testItems\": [] // comment\n}"), nlohmann::json::parse_error);

  // Text in a single-byte code page is not UTF-8 and fails; so does a raw control character.
  std::string latin1 = text;
  latin1.replace(latin1.find("desc a"), 6, "d\xE9sc a");
  EXPECT_THROW(readFlow(latin1), nlohmann::json::parse_error);
  std::string control = text;
  control.replace(control.find("desc a"), 6, "de\tsc a");
  EXPECT_THROW(readFlow(control), nlohmann::json::parse_error);

  EXPECT_THROW(readSetting(R"({"executeSetting": {"failstop": 1, "loopcount": 1},)"
                           R"( "dutSetting": {"selectDUT": []}})"),
               nlohmann::json::type_error);
  EXPECT_THROW(readSetting(R"({"executeSetting": {"failstop": true, "loopcount": 1}})"),
               nlohmann::json::out_of_range);
}

// The failure of parsing text as a whole document, then reading a flow from it: what the flow
// reader, which reads the items as they are parsed, must fail with too.
std::string wholeDocumentFailure(const std::string& text) {
  try {
    std::istringstream in(text);
    nlohmann::json document;
    in >> document;
    FlowMessage flow;
    readRecord(document, flow);
  } catch (const std::exception& error) {
    return error.what();
  }
  return "";
}

TEST_F(DriverCommonTest, ReadsItemsAsTheyComeWithTheOutcomeOfTheWholeDocument) {
  const std::string a = flowJson({{"a"}});
  const std::string itemA = a.substr(a.find('[') + 1, a.rfind(']') - a.find('[') - 1);
  const std::string b = flowJson({{"b"}});
  const std::string itemB = b.substr(b.find('[') + 1, b.rfind(']') - b.find('[') - 1);

  // A later "testItems" replaces an earlier one, broken or not; other keys, and "testItems"
  // anywhere but in the root object, are not looked at.
  std::optional<FlowMessage> flow =
      readFlow(R"({"x": [[{"testItems": 5}]], "testItems": [)" + itemA +
               R"(], "y": {"testItems": {}}, "testItems": [)" + itemB + "]}");
  ASSERT_TRUE(flow);
  ASSERT_EQ(flow->testItems.size(), 1u);
  EXPECT_EQ(flow->testItems[0].funcName, "b");
  flow = readFlow(R"({"testItems": [{}], "testItems": [)" + itemB + "]}");
  ASSERT_TRUE(flow);
  EXPECT_EQ(flow->testItems.size(), 1u);
  flow = readFlow(R"({"testItems": 7, "testItems": [)" + itemB + "]}");
  ASSERT_TRUE(flow);
  EXPECT_EQ(flow->testItems.size(), 1u);

  // Failures name the same path as in the whole document.
  std::vector<FlowEntry> many(1000, FlowEntry{"f"});
  std::string far = flowJson(many);
  std::string::size_type at = 0;
  for (int item = 0; item <= 700; ++item) at = far.find(", \"select\": true", at + 1);
  far.erase(at, 16);
  const std::pair<std::string, std::string> cases[] = {
      {far, "[json.exception.out_of_range.403] (/testItems/700) key 'select' not found"},
      {R"({"testItems": [)" + itemA + R"(], "testItems": [{}]})",
       "[json.exception.out_of_range.403] (/testItems/0) key 'failJump' not found"},
      {R"({"testItems": [)" + itemA + ", 1]}",
       "[json.exception.type_error.304] (/testItems/1) cannot use at() with number"},
      {R"({"testItems": [)" + itemA + R"(], "testItems": {"0": 1}})",
       "[json.exception.type_error.302] (/testItems) type must be array, but is object"},
      {R"({"other": {"testItems": []}})",
       "[json.exception.out_of_range.403] key 'testItems' not found"},
      {"[" + a + "]", "[json.exception.type_error.304] cannot use at() with array"},
      {"\"testItems\"", "[json.exception.type_error.304] cannot use at() with string"},
  };
  for (const auto& [text, failure] : cases) {
    EXPECT_EQ(flowFailure(text), failure) << text.substr(0, 200);
    EXPECT_EQ(wholeDocumentFailure(text), failure) << text.substr(0, 200);
  }

  // A syntax error anywhere wins over an item that can't be read before it.
  const std::string brokenThenBadSyntax = R"({"testItems": [{}, )" + itemA + "}";
  EXPECT_EQ(flowFailure(brokenThenBadSyntax), wholeDocumentFailure(brokenThenBadSyntax));
  EXPECT_EQ(flowFailure(brokenThenBadSyntax).rfind("[json.exception.parse_error.101]", 0), 0u);
  EXPECT_THROW(readFlow(R"({"testItems": [{}], "n": 1e400})"), nlohmann::json::out_of_range);
}

TEST_F(DriverCommonTest, TellsMissingFilesFromUnreadableOnes) {
  // Nothing at the path: no value and no message.
  CaptureStderr();
  EXPECT_FALSE(common.analysisFlowFile(dir.path("missing.json")));
  EXPECT_FALSE(common.analysisSettingFile(dir.path("missing.json")));
  EXPECT_FALSE(common.fileExists(dir.path("missing.json")));
  EXPECT_EQ(GetCapturedStderr(), "");

  // A directory exists but can't be opened as a file.
  std::filesystem::create_directory(dir.path("folder"));
  EXPECT_TRUE(common.fileExists(dir.path("folder")));
  CaptureStderr();
  try {
    common.analysisSettingFile(dir.path("folder"));
    ADD_FAILURE() << "a directory was read as a setting file";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()), "Failed to open file: " + dir.path("folder"));
  }
  EXPECT_EQ(GetCapturedStderr(), "Failed to open file!\n");

#ifdef _WIN32
  // The C runtime reports a name longer than any Windows allows as one that doesn't exist.
  EXPECT_FALSE(common.fileExists(dir.path(std::string(5000, 'n'))));
#else
  // The file system can't answer for a name longer than any it allows.
  EXPECT_THROW(common.fileExists(dir.path(std::string(5000, 'n'))),
               std::filesystem::filesystem_error);
#endif
}

TEST(DriverCommonSplit, KeepsInnerEmptyPiecesAndDropsOneTrailingEmptyPiece) {
  DriverCommon common;
  using Pieces = std::vector<std::string>;
  EXPECT_EQ(common.split("a,,b", ','), (Pieces{"a", "", "b"}));
  EXPECT_EQ(common.split("a,b,", ','), (Pieces{"a", "b"}));
  EXPECT_EQ(common.split("a,,", ','), (Pieces{"a"}));
  EXPECT_EQ(common.split("abc", ','), (Pieces{"abc"}));
  EXPECT_EQ(common.split("", ','), Pieces{});
  EXPECT_EQ(common.split(",,", ','), (Pieces{""}));
  EXPECT_EQ(common.split(",a", ','), (Pieces{"", "a"}));
}

}  // namespace
