#include "src/CommandGrammar.h"

#include <gtest/gtest.h>

#include <random>
#include <regex>
#include <string>

using namespace std::string_literals;

namespace {

// Bytes that matter to the grammar, and some that must not: NUL, bytes above 127, every
// whitespace character.
const std::string ALPHABET =
    std::string("0123456789^qvQV-p_aZz .\t\n\v\f\r") + "\0\x80\xff\xc3\xa9"s;

std::string randomLine(std::mt19937& random) {
  static const std::string TEMPLATES[] = {"1^qv -p load a b", "007^qv -p stop", "9^qv\t-x_1\trun",
                                          "12^qv -p unload ", "3^qv -p stop\r", "4^qv -p a\tb c"};
  std::uniform_int_distribution<int> pick(0, 99);
  std::string line;
  if (pick(random) < 25) {
    // Pure noise: rarely matches, exercises every early rejection.
    const int length = pick(random) % 20;
    for (int i = 0; i < length; ++i) line.push_back(ALPHABET[pick(random) % ALPHABET.size()]);
    return line;
  }
  // A valid line with a few mutations: matches about half of the time.
  line = TEMPLATES[pick(random) % 6];
  const int mutations = pick(random) % 3;
  for (int m = 0; m < mutations; ++m) {
    const char c = ALPHABET[pick(random) % ALPHABET.size()];
    const std::size_t at = pick(random) % (line.size() + 1);
    switch (pick(random) % 3) {
      case 0:
        line.insert(line.begin() + at, c);
        break;
      case 1:
        if (at < line.size()) line[at] = c;
        break;
      default:
        if (at < line.size()) line.erase(at, 1);
    }
  }
  return line;
}

TEST(CommandGrammar, AgreesWithTheRegularExpressionOnGeneratedLines) {
  const std::regex pattern(COMMAND_PATTERN);
  // The same pattern with a group for each part.
  const std::regex groups(R"(^(\d+)\^qv\s(-\w+)\s(\w+)(\s.*)?$)");
  std::mt19937 random(20261208);
  int matched = 0;
  int refused = 0;
  for (int i = 0; i < 60000; ++i) {
    const std::string line = randomLine(random);
    const bool expected = std::regex_match(line, pattern);
    ASSERT_EQ(matchesCommandGrammar(line), expected) << "line: \"" << line << "\"";
    CommandLayout layout;
    ASSERT_EQ(matchCommandGrammar(line, layout), expected) << "line: \"" << line << "\"";
    if (expected) {
      // The parts as the pattern's groups would find them.
      std::smatch parts;
      ASSERT_TRUE(std::regex_match(line, parts, groups));
      EXPECT_EQ(layout.caret, static_cast<std::size_t>(parts.length(1))) << line;
      EXPECT_EQ(layout.optionEnd, static_cast<std::size_t>(parts.position(2) + parts.length(2)))
          << line;
      EXPECT_EQ(layout.verbEnd, static_cast<std::size_t>(parts.position(3) + parts.length(3)))
          << line;
    }
    (expected ? matched : refused)++;
  }
  // Both outcomes must be well represented, or the comparison proves little.
  EXPECT_GT(matched, 10000);
  EXPECT_GT(refused, 10000);
}

TEST(CommandGrammar, DecidesTheDocumentedCases) {
  EXPECT_TRUE(matchesCommandGrammar("1^qv -p load a.dll flow.json"));
  EXPECT_TRUE(matchesCommandGrammar("005^qv -p stop"));
  EXPECT_TRUE(matchesCommandGrammar("5^qv\t-p\tstop"));
  EXPECT_TRUE(matchesCommandGrammar("5^qv -p stop\r"));  // CR as the optional whitespace
  EXPECT_TRUE(matchesCommandGrammar("9^qv -x load"));
  EXPECT_TRUE(matchesCommandGrammar("9^qv -p LOAD"));
  EXPECT_TRUE(matchesCommandGrammar("1^qv -p run \0x"s));

  EXPECT_FALSE(matchesCommandGrammar("exit "));
  EXPECT_FALSE(matchesCommandGrammar("   "));
  EXPECT_FALSE(matchesCommandGrammar("1^qv  -p load"));
  EXPECT_FALSE(matchesCommandGrammar("^qv -p stop"));
  EXPECT_FALSE(matchesCommandGrammar("1 ^qv -p stop"));
  EXPECT_FALSE(matchesCommandGrammar("1^QV -p stop"));
  EXPECT_FALSE(matchesCommandGrammar("1^qv -p load a b\r"));
  EXPECT_FALSE(matchesCommandGrammar("1^qv -p stop\r\r"));
  EXPECT_FALSE(matchesCommandGrammar("1^qv -p"));
  EXPECT_FALSE(matchesCommandGrammar("1^qv - stop"));
  EXPECT_FALSE(matchesCommandGrammar("1^qv -p st\xc3\xa9"));
}

TEST(CommandGrammar, TellsWhereThePartsOfAMatchingLineLie) {
  CommandLayout layout;
  ASSERT_TRUE(matchCommandGrammar("0042^qv\t-p_2 load a b", layout));
  EXPECT_EQ(layout.caret, 4u);
  EXPECT_EQ(layout.optionEnd, 12u);
  EXPECT_EQ(layout.verbEnd, 17u);

  ASSERT_TRUE(matchCommandGrammar("7^qv -x run", layout));
  EXPECT_EQ(layout.caret, 1u);
  EXPECT_EQ(layout.optionEnd, 7u);
  EXPECT_EQ(layout.verbEnd, 11u);

  // A line that doesn't match leaves the layout alone.
  EXPECT_FALSE(matchCommandGrammar("7^qv -x run\r\r", layout));
  EXPECT_EQ(layout.verbEnd, 11u);
}

TEST(CommandGrammar, MatchesLinesOfAnyLengthWithoutRecursion) {
  // A backtracking matcher overflows its stack on this; the grammar is linear and flat.
  std::string line = "1^qv -p load lib flow";
  line.append(64u << 20, 'x');
  EXPECT_TRUE(matchesCommandGrammar(line));
  line.push_back('\r');
  EXPECT_FALSE(matchesCommandGrammar(line));
}

}  // namespace
