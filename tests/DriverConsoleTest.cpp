// The driver's conversation with a host, through its real standard streams.
#include <gtest/gtest.h>

#include "tests/support/DriverSession.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestFiles.h"

namespace {

TEST(DriverConsole, WritesOnlyItsStartupLinesWhenTheInputEndsAtOnce) {
  const auto started = std::chrono::steady_clock::now();
  DriverSession driver;
  // Ten pauses of 100 ms come before the prompt.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(950));
  driver.process().closeInput();
  EXPECT_EQ(driver.process().wait(TEST_TIMEOUT), std::optional<int>(0));
  EXPECT_TRUE(driver.restOut().empty());
  EXPECT_TRUE(driver.restErr().empty());
}

TEST(DriverConsole, AnswersWellFormedCommandsAndRefusesTheRest) {
  DriverSession driver;
  driver.send("5^qv -p stop");
  EXPECT_EQ(driver.out(), "5^done");
  driver.send("005^qv -p stop");
  EXPECT_EQ(driver.out(), "005^done");

  // The command loop's refusals and replies, through the real streams (the cases are in
  // ConsoleTest and CommandParserTest).
  driver.send("");
  driver.send("exit ");
  EXPECT_EQ(driver.err(), "Invalid command: exit ");
  EXPECT_EQ(driver.err(), "Command format is error.");
  driver.send("9^qv -x load");
  EXPECT_EQ(driver.err(), "Unknown command: qv -x load");
  driver.send("12^qv -p load lib /no/such/flow.json");
  EXPECT_EQ(driver.out(), "12^error,error info=4097");

  // A CR LF line end is a line end; a CR before it is text (echoed back, it reads as part of
  // the message's own line end here). A Ctrl-Z byte is text too, not the end of the input.
  driver.process().write(
      "15^qv -p stop\r\n16^qv -p load a b\r\r\n17^qv -p stop \x1a\n18^qv -p stop\n");
  EXPECT_EQ(driver.out(), "15^done");
  EXPECT_EQ(driver.err().rfind("Invalid command: 16^qv -p load a b", 0), 0u);
  EXPECT_EQ(driver.err(), "Command format is error.");
  EXPECT_EQ(driver.out(), "17^done");
  EXPECT_EQ(driver.out(), "18^done");

  driver.exit();
  EXPECT_TRUE(driver.restOut().empty());
  EXPECT_TRUE(driver.restErr().empty());
}

TEST(DriverConsole, HandlesAnUnterminatedLastLineOnceAndEnds) {
  DriverSession driver;
  driver.process().write("1^qv -p stop\n2^qv -p stop");
  driver.process().closeInput();
  EXPECT_EQ(driver.process().wait(TEST_TIMEOUT), std::optional<int>(0));
  EXPECT_EQ(driver.restOut(), (std::vector<std::string>{"1^done", "2^done"}));
}

TEST(DriverConsole, AnswersAHugeLineLikeAShortOne) {
  DriverSession driver;
  std::string line = "1^qv -p stop ";
  line.append(64u << 20, 'x');
  driver.send(line);
  EXPECT_EQ(driver.out(), "1^done");
  driver.exit();
}

}  // namespace
