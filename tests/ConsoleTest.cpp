#include "src/Console.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

struct Transcript {
  int status;
  std::string out;
  std::string err;
};

// Runs the command loop over input in this process.
Transcript converse(const std::string& input) {
  CommandParser parser{DriverCommon()};
  std::size_t offset = 0;
  LineReader reader([&](char* buffer, std::size_t size) -> std::ptrdiff_t {
    const std::size_t count = std::min(size, input.size() - offset);
    std::memcpy(buffer, input.data() + offset, count);
    offset += count;
    return static_cast<std::ptrdiff_t>(count);
  });
  CaptureStdout();
  CaptureStderr();
  const int status = runCommandLoop(parser, reader);
  return {status, GetCapturedStdout(), GetCapturedStderr()};
}

TEST(Console, AnswersEachCommandWithItsNumber) {
  Transcript t = converse("5^qv -p stop\n005^qv -p stop and more\r\n7^qv -p load x\n");
  EXPECT_EQ(t.status, 0);
  EXPECT_EQ(t.out, "5^done\n005^done\n7^error,error info=1\n");
  EXPECT_EQ(t.err, "");
}

TEST(Console, RefusesMalformedAndUnknownLinesWithoutAReply) {
  Transcript t = converse("\n   \n\t\nexit \n9^qv -x load\n1^qv -p LOAD a b\n1^QV -p load a b\n");
  EXPECT_EQ(t.out, "");
  EXPECT_EQ(t.err,
            "Invalid command:    \nCommand format is error.\n"
            "Invalid command: \t\nCommand format is error.\n"
            "Invalid command: exit \nCommand format is error.\n"
            "Unknown command: qv -x load\n"
            "Unknown command: qv -p LOAD\n"
            "Invalid command: 1^QV -p load a b\nCommand format is error.\n");
}

TEST(Console, EndsAtExitOrAtTheEndOfInput) {
  Transcript atExit = converse("1^qv -p stop\nexit\n2^qv -p stop\n");
  EXPECT_EQ(atExit.status, 0);
  EXPECT_EQ(atExit.out, "1^done\n");

  // "exit" is matched exactly, also as an unterminated last line, and with its CR LF.
  EXPECT_EQ(converse("exit\r\n3^qv -p stop\n").out, "");
  Transcript unterminated = converse("1^qv -p stop\n2^qv -p stop");
  EXPECT_EQ(unterminated.status, 0);
  EXPECT_EQ(unterminated.out, "1^done\n2^done\n");
  EXPECT_EQ(converse("EXIT\n").err, "Invalid command: EXIT\nCommand format is error.\n");
}

TEST(Console, FormatsBothReplies) {
  CaptureStdout();
  printReply("0012", 0);
  printReply("8", 4097);
  printReply("9", -1);
  EXPECT_EQ(GetCapturedStdout(), "0012^done\n8^error,error info=4097\n9^error,error info=-1\n");
}

}  // namespace
