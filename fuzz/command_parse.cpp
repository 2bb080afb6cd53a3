// CommandParser::parse on any line: it must decide exactly as std::regex does with the grammar's
// pattern (checked for lines under 256 bytes, where the regular expression engine is quick and
// doesn't run out of stack), and what it returns must be the line's parts.
#include <regex>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "src/CommandGrammar.h"
#include "src/CommandParser.h"

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isWordChar(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool all(const std::string& text, bool (*of)(char)) {
  for (char c : text) {
    if (!of(c)) return false;
  }
  return !text.empty();
}

// The fields of a successful parse against the line they came from.
void checkParts(const std::string& line, const ParsedCommand& command) {
  const std::string::size_type caret = line.find('^');
  if (caret == std::string::npos) fuzz::fail("parsed a line without a caret");
  if (command.number != line.substr(0, caret) || !all(command.number, isDigit)) {
    fuzz::fail("number \"" + command.number + "\" is not the digits before the caret");
  }

  // fullCommand: "qv", the option with its hyphen, the verb, joined by single spaces.
  const std::string& full = command.fullCommand;
  const std::string::size_type first = full.find(' ');
  const std::string::size_type second =
      first == std::string::npos ? std::string::npos : full.find(' ', first + 1);
  if (second == std::string::npos || full.find(' ', second + 1) != std::string::npos) {
    fuzz::fail("fullCommand \"" + full + "\" is not three words");
  }
  const std::string option = full.substr(first + 1, second - first - 1);
  if (full.substr(0, first) != "qv" || option.size() < 2 || option[0] != '-' ||
      !all(option.substr(1), isWordChar) || !all(full.substr(second + 1), isWordChar)) {
    fuzz::fail("fullCommand \"" + full + "\" doesn't have the grammar's words");
  }

  // Every argument is one word, and the words after the caret are exactly the command's three
  // and then the arguments, in order.
  std::string words;
  std::string expected = "qv" + option + full.substr(second + 1);
  for (const std::string& argument : command.args) {
    if (argument.empty()) fuzz::fail("an empty argument");
    for (char c : argument) {
      if (isSpace(c)) fuzz::fail("an argument holds whitespace");
    }
    expected += argument;
  }
  for (std::string::size_type i = caret + 1; i < line.size(); ++i) {
    if (!isSpace(line[i])) words.push_back(line[i]);
  }
  if (words != expected) fuzz::fail("the words of the line are not the command and arguments");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // parse reports every refused line on stderr.
  fuzz::silenceStderrStream();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const CommandParser parser{DriverCommon()};
  static const std::regex pattern(COMMAND_PATTERN);

  const std::string line(reinterpret_cast<const char*>(data), size);
  ParsedCommand command;
  const bool parsed = parser.parse(line, command);
  if (parsed != matchesCommandGrammar(line)) fuzz::fail("parse and the grammar disagree");
  if (size < 256 && parsed != std::regex_match(line, pattern)) {
    fuzz::fail(std::string("the grammar ") + (parsed ? "accepts" : "refuses") +
               " a line that the regular expression " + (parsed ? "refuses" : "accepts"));
  }
  if (parsed) {
    checkParts(line, command);
  } else if (!command.number.empty() || !command.fullCommand.empty() || !command.args.empty()) {
    fuzz::fail("a refused line left something in the result");
  }
  return 0;
}
