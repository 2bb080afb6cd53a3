// ChildProcess, with a small child program that echoes its arguments and its input.
#include "host/ChildProcess.h"

#include <gtest/gtest.h>

#include "tests/support/DriverSession.h"

namespace {

using Lines = std::vector<std::string>;

ChildProcess::Options echoWith(const Lines& arguments) {
  ChildProcess::Options options;
  options.argv = {ATE_CHILD_ECHO_PATH};
  options.argv.insert(options.argv.end(), arguments.begin(), arguments.end());
  return options;
}

TEST(ChildProcess, PassesEveryArgumentAsItIs) {
  // Spaces, quotes and backslashes in every position that a command line must escape.
  const Lines arguments = {"plain",
                           "",
                           "two words",
                           " lead and trail ",
                           "tab\there",
                           "say \"hi\"",
                           "\"",
                           "\\",
                           "end\\",
                           "end with space\\",
                           "a\\\\b",
                           "a\\\"b",
                           "a\\\\\"b c",
                           "\\\\server\\share\\",
                           "{\"json\": [1, 2]}",
                           "caret^and%percent%"};
  ChildProcess child(echoWith(arguments));
  child.closeInput();
  Lines expected;
  for (const std::string& argument : arguments) expected.push_back("[" + argument + "]");
  EXPECT_EQ(child.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT), expected);
  EXPECT_EQ(child.wait(TEST_TIMEOUT), std::optional<int>(static_cast<int>(arguments.size())));
}

TEST(ChildProcess, SetsVariablesInTheChildsEnvironment) {
  ChildProcess::Options options = echoWith({"x"});
  options.environment = {{"ATE_ECHO_ENV", "two words=and more"}};
  ChildProcess child(options);
  child.closeInput();
  EXPECT_EQ(child.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT),
            (Lines{"env:two words=and more", "[x]"}));
  EXPECT_EQ(child.wait(TEST_TIMEOUT), std::optional<int>(1));
}

TEST(ChildProcess, CarriesInputAndBothOutputStreams) {
  ChildProcess child(echoWith({}));
  EXPECT_TRUE(child.write("first\n"));
  EXPECT_EQ(child.readLine(ChildProcess::Stream::out, TEST_TIMEOUT), "in:first");
  EXPECT_TRUE(child.write("second\nthird"));
  child.closeInput();
  EXPECT_EQ(child.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT),
            (Lines{"in:second", "in:third"}));
  EXPECT_EQ(child.readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT), Lines{"bye"});
  EXPECT_TRUE(child.drained(ChildProcess::Stream::out));
  EXPECT_TRUE(child.drained(ChildProcess::Stream::err));
  EXPECT_EQ(child.wait(TEST_TIMEOUT), std::optional<int>(0));
  EXPECT_FALSE(child.write("too late\n")) << "nobody reads the input any more";

  // The child's streams end lines as its platform does.
#ifdef _WIN32
  EXPECT_EQ(child.crlfLines(ChildProcess::Stream::out), 3u);
  EXPECT_EQ(child.lfLines(ChildProcess::Stream::out), 0u);
  EXPECT_EQ(child.crlfLines(ChildProcess::Stream::err), 1u);
#else
  EXPECT_EQ(child.lfLines(ChildProcess::Stream::out), 3u);
  EXPECT_EQ(child.crlfLines(ChildProcess::Stream::out), 0u);
  EXPECT_EQ(child.lfLines(ChildProcess::Stream::err), 1u);
#endif

  // An unterminated last line still counts once the stream ends.
  ChildProcess raw(echoWith({"--raw", "first", "last"}));
  EXPECT_EQ(raw.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT), (Lines{"first", "last"}));
}

TEST(ChildProcess, KillEndsAChildThatWaitsAndAClosedOutputEndsItsStream) {
  ChildProcess child(echoWith({"--wait"}));
  EXPECT_EQ(child.wait(std::chrono::milliseconds(200)), std::nullopt);
  child.kill();
  EXPECT_EQ(child.wait(TEST_TIMEOUT), std::optional<int>(-1));
  EXPECT_TRUE(child.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT).empty());
  EXPECT_TRUE(child.drained(ChildProcess::Stream::out));

  // A child that closes its output ends that stream while it still runs.
  ChildProcess closing(echoWith({"--close-out"}));
  EXPECT_TRUE(closing.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT).empty());
  EXPECT_TRUE(closing.drained(ChildProcess::Stream::out));
  EXPECT_EQ(closing.wait(std::chrono::milliseconds(0)), std::nullopt);
  closing.closeInput();
  EXPECT_EQ(closing.wait(TEST_TIMEOUT), std::optional<int>(0));
}

}  // namespace
