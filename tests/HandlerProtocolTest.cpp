// The handler protocol's lines, both ways.
#include "handler/HandlerProtocol.h"

#include <gtest/gtest.h>

namespace {

using handler::HandlerMessage;

// The message as one line of text, for comparing: "sot 1 2=3,-4", "alarm jam", ...
std::string describe(const HandlerMessage& message) {
  static const char* const KINDS[] = {"sot", "eol", "alarm", "ready", "wafer", "eow"};
  std::string out = KINDS[static_cast<int>(message.kind)];
  for (const handler::SiteEntry& entry : message.sites) {
    out += " " + std::to_string(entry.site);
    if (entry.die) out += "=" + std::to_string(entry.die->x) + "," + std::to_string(entry.die->y);
  }
  if (!message.text.empty()) out += " [" + message.text + "]";
  return out;
}

TEST(HandlerProtocol, ReadsTheHandlersLinesAndSaysWhyItRefusesOthers) {
  struct Case {
    const char* line;
    const char* expected;  // the message, or "! " and the refusal
  };
  const Case cases[] = {
      {"SOT 1 2 4", "sot 1 2 4"},
      {"SOT 4 1", "sot 4 1"},
      {"  SOT\t3   2 ", "sot 3 2"},
      {"SOT 1=12,-3 2=13,-3", "sot 1=12,-3 2=13,-3"},
      {"SOT 1=+0,32767", "sot 1=0,32767"},
      {"EOL", "eol"},
      {"READY", "ready"},
      {"ALARM jam in  the shuttle ", "alarm [jam in  the shuttle]"},
      {"ALARM", "alarm"},
      {"WAFER LOT7-W03", "wafer [LOT7-W03]"},
      {"EOW", "eow"},
      {"SOT", "! a SOT names no site"},
      {"SOT 1 1", "! site 1 is named twice"},
      {"SOT 0", "! \"0\" is no site number"},
      {"SOT 5", "! site 5 is out of range (the lot has 4 sites)"},
      {"SOT -1", "! \"-1\" is no site number"},
      {"SOT 1 x", "! \"x\" is no site number"},
      {"SOT 99999999999", "! \"99999999999\" is no site number"},
      {"SOT 1=3", "! \"3\" is no die position X,Y (each within +-32767)"},
      {"SOT 1=3,40000", "! \"3,40000\" is no die position X,Y (each within +-32767)"},
      {"SOT 1=1,1 2", "! either every site of a SOT carries its die's X,Y or none does"},
      {"SOT 1 2=1,1", "! either every site of a SOT carries its die's X,Y or none does"},
      {"EOL now", "! EOL takes nothing after it"},
      {"WAFER", "! WAFER needs the wafer's id"},
      {"sot 1", "! unknown word \"sot\""},
      {"HELLO", "! unknown word \"HELLO\""},
      {"", "! an empty line"},
  };
  for (const Case& c : cases) {
    HandlerMessage message;
    std::string error;
    const std::string got =
        handler::parseHandlerLine(c.line, 4, message, error) ? describe(message) : "! " + error;
    EXPECT_EQ(got, c.expected) << c.line;
  }
}

TEST(HandlerProtocol, WritesAndReadsTheStationsLines) {
  EXPECT_EQ(handler::binLine({{1, 1}, {2, 5}, {4, 1}}), "BIN 1=1 2=5 4=1");
  EXPECT_EQ(handler::sotLine({{2, std::nullopt}, {1, handler::DieXY{-3, 7}}}), "SOT 2 1=-3,7");
  EXPECT_EQ(handler::errorLine("bad\nline"), "ERROR bad line");

  handler::StationMessage message;
  std::string error;
  ASSERT_TRUE(handler::parseStationLine("BIN 1=1 2=5 4=1", message, error)) << error;
  EXPECT_EQ(message.bins, (std::vector<std::pair<int, int>>{{1, 1}, {2, 5}, {4, 1}}));
  ASSERT_TRUE(handler::parseStationLine(handler::helloLine("1.2.0"), message, error));
  EXPECT_EQ(message.text, "1.2.0");
  for (const char* bad :
       {"BIN", "BIN 1", "BIN 1=x", "BIN 1=70000", "HELLO me", "PAUSE now", "NO"}) {
    EXPECT_FALSE(handler::parseStationLine(bad, message, error)) << bad;
  }
}

TEST(HandlerProtocol, SplitsLinesAndSkipsOverlongOnes) {
  handler::LineSplitter splitter;
  std::vector<handler::LineSplitter::Line> lines;
  splitter.add("SOT 1\r\nEO", lines);
  splitter.add("L\n\r\n", lines);
  const std::string longest(handler::MAX_LINE, 'x');
  splitter.add(longest + "\r\n" + longest + "y\nREADY\n", lines);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0].text, "SOT 1");
  EXPECT_EQ(lines[1].text, "EOL");
  EXPECT_EQ(lines[2].text, "");
  EXPECT_FALSE(lines[3].overlong) << "a line of exactly the limit is fine, CR LF or not";
  EXPECT_EQ(lines[3].text, longest);
  EXPECT_TRUE(lines[4].overlong);
  EXPECT_FALSE(lines[5].overlong);
  EXPECT_EQ(lines[5].text, "READY");
}

}  // namespace
