#include "src/CommandParser.h"

#include <gtest/gtest.h>

#include "tests/support/TestFiles.h"
#include "utils/ErrorType.h"

using namespace std::string_literals;

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

ParsedCommand parsed(const CommandParser& parser, const std::string& line) {
  ParsedCommand command;
  EXPECT_TRUE(parser.parse(line, command)) << line;
  return command;
}

TEST(CommandParser, SplitsALineIntoNumberCommandAndArguments) {
  const CommandParser parser{DriverCommon()};

  ParsedCommand load = parsed(parser, "1^qv -p load a.dll flow.json");
  EXPECT_EQ(load.number, "1");
  EXPECT_EQ(load.fullCommand, "qv -p load");
  EXPECT_EQ(load.args, (std::vector<std::string>{"a.dll", "flow.json"}));

  // Tabs for the single spaces, and runs of whitespace between later words.
  ParsedCommand tabs = parsed(parser, "0042^qv\t-p\tload \t a.dll\t\t  flow.json  ");
  EXPECT_EQ(tabs.number, "0042");
  EXPECT_EQ(tabs.fullCommand, "qv -p load");
  EXPECT_EQ(tabs.args, (std::vector<std::string>{"a.dll", "flow.json"}));

  // A CR at the end of a stop line is the optional whitespace and makes no word.
  ParsedCommand stop = parsed(parser, "5^qv -p stop\r");
  EXPECT_EQ(stop.fullCommand, "qv -p stop");
  EXPECT_TRUE(stop.args.empty());

  // Carets, NULs and high bytes in later words are plain text.
  ParsedCommand odd = parsed(parser, "7^qv -p run a^b \0\xff"s);
  EXPECT_EQ(odd.args, (std::vector<std::string>{"a^b", "\0\xff"s}));
}

TEST(CommandParser, RefusesLinesOutsideTheGrammarWithAMessage) {
  const CommandParser parser{DriverCommon()};
  // (Which lines match is CommandGrammarTest's; here, what parse does with one that doesn't.)
  for (const std::string line : {"1^qv  -p load a b", "exit "}) {
    ParsedCommand command;
    CaptureStderr();
    EXPECT_FALSE(parser.parse(line, command)) << line;
    EXPECT_EQ(GetCapturedStderr(), "Invalid command: " + line + "\n");
    EXPECT_TRUE(command.number.empty() && command.fullCommand.empty() && command.args.empty());
  }
}

TEST(CommandParser, KnowsExactlyTheFourCommands) {
  const CommandParser parser{DriverCommon()};
  for (const char* valid : {"qv -p load", "qv -p unload", "qv -p run", "qv -p stop"}) {
    EXPECT_TRUE(parser.isValidCommand(valid)) << valid;
  }
  for (const char* invalid : {"qv -p LOAD", "qv -x load", "qv -p load ", "qv -p", ""}) {
    EXPECT_FALSE(parser.isValidCommand(invalid)) << invalid;
  }
}

TEST(CommandParser, CheckArgumentsAndFilesBeforeAnythingElse) {
  CommandParser parser{DriverCommon()};
  TempDir dir;
  const std::string flow = dir.write("flow.json", flowJson({{"test_pass"}}));
  const std::string broken = dir.write("broken.json", "{\"testItems\": [");

  auto handle = [&](const std::string& line) {
    ParsedCommand command = parsed(parser, line);
    return parser.handleCommand(command);
  };

  // Stop ignores arguments; unload without a library succeeds, twice.
  EXPECT_EQ(handle("1^qv -p stop"), TYPE_SUCCESS);
  EXPECT_EQ(handle("1^qv -p stop now please"), TYPE_SUCCESS);
  EXPECT_EQ(handle("2^qv -p unload"), TYPE_SUCCESS);
  EXPECT_EQ(handle("2^qv -p unload"), TYPE_SUCCESS);

  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(handle("3^qv -p load only-one"), TYPE_THE_COMMAND_PARAMETER_WAS_ERROR);
  EXPECT_EQ(handle("3^qv -p load a b c"), TYPE_THE_COMMAND_PARAMETER_WAS_ERROR);
  EXPECT_EQ(handle("4^qv -p run"), TYPE_THE_COMMAND_PARAMETER_WAS_ERROR);
  EXPECT_EQ(handle("4^qv -p run a b"), TYPE_THE_COMMAND_PARAMETER_WAS_ERROR);
  EXPECT_EQ(handle("5^qv -p load lib " + dir.path("missing.json")),
            TYPE_FLOW_FILE_OR_FORMAT_EXIST_ERROR);
  EXPECT_EQ(handle("6^qv -p run " + dir.path("missing.json")),
            TYPE_SETTING_FILE_OR_FORMAT_EXIST_ERROR);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(GetCapturedStderr(), "");

  // A broken file says which file and why.
  CaptureStderr();
  EXPECT_EQ(handle("7^qv -p load lib " + broken), TYPE_FLOW_FILE_OR_FORMAT_EXIST_ERROR);
  EXPECT_EQ(handle("8^qv -p run " + flow), TYPE_SETTING_FILE_OR_FORMAT_EXIST_ERROR);
  const std::string messages = GetCapturedStderr();
  EXPECT_NE(messages.find("Cannot read flow file \"" + broken + "\": [json.exception.parse_error"),
            std::string::npos)
      << messages;
  EXPECT_NE(messages.find("Cannot read setting file \"" + flow +
                          "\": [json.exception.out_of_range.403] key 'executeSetting' not found"),
            std::string::npos)
      << messages;

  // A flow that reads, with a library that can't be loaded: listing, the loader's code, 3.
  CaptureStdout();
  CaptureStderr();
  EXPECT_EQ(handle("9^qv -p load " + dir.path("no-such-library") + " " + flow),
            TYPE_LOAD_LIBRARY_WAS_FAILED);
  EXPECT_EQ(GetCapturedStdout(),
            "FuncName: test_pass, FuncId: 100\n    Result Param: P0, Max: 1.5\n126\n");
  EXPECT_NE(GetCapturedStderr().find("Cannot load library \"" + dir.path("no-such-library") + "\""),
            std::string::npos);
}

}  // namespace
