// The grammar of a command line, matched without a backtracking engine.
#ifndef ATE_SRC_COMMANDGRAMMAR_H_
#define ATE_SRC_COMMANDGRAMMAR_H_

#include <string_view>

// The grammar as an ECMAScript regular expression: digits, a caret, "qv", one whitespace, a
// hyphen and a word, one whitespace, a word, and optionally one whitespace followed by anything
// but CR and LF. Whitespace is space, tab, LF, VT, FF, CR; word characters are ASCII letters,
// digits and underscore.
inline constexpr const char* COMMAND_PATTERN = R"(^\d+\^qv\s-\w+\s\w+(\s.*)?$)";

// Whether line matches COMMAND_PATTERN as a whole, exactly as std::regex (ECMAScript, classic
// locale) decides it. Linear in the line's length, with constant stack.
bool matchesCommandGrammar(std::string_view line);

// Character classes of the grammar and of the word splitting (classic locale).
inline bool isCommandSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

#endif  // ATE_SRC_COMMANDGRAMMAR_H_
