// The grammar of a command line, matched without a backtracking engine.
#ifndef ATE_SRC_COMMANDGRAMMAR_H_
#define ATE_SRC_COMMANDGRAMMAR_H_

#include <cstddef>
#include <string_view>

// The grammar as an ECMAScript regular expression: digits, a caret, "qv", one whitespace, a
// hyphen and a word, one whitespace, a word, and optionally one whitespace followed by anything
// but CR and LF. Whitespace is space, tab, LF, VT, FF, CR; word characters are ASCII letters,
// digits and underscore.
inline constexpr const char* COMMAND_PATTERN = R"(^\d+\^qv\s-\w+\s\w+(\s.*)?$)";

// Whether line matches COMMAND_PATTERN as a whole, exactly as std::regex (ECMAScript, classic
// locale) decides it. Linear in the line's length, with constant stack.
bool matchesCommandGrammar(std::string_view line);

// Where the parts of a line that matches the grammar lie: the digits are [0, caret); "qv" is
// at caret + 1; the option is [caret + 4, optionEnd) with its hyphen; the verb is
// [optionEnd + 1, verbEnd); the optional tail, from verbEnd to the end, is empty or starts with
// its whitespace character.
struct CommandLayout {
  std::size_t caret = 0;
  std::size_t optionEnd = 0;
  std::size_t verbEnd = 0;
};

// matchesCommandGrammar, also telling where the parts lie when the line matches (layout is left
// alone when it doesn't).
bool matchCommandGrammar(std::string_view line, CommandLayout& layout);

// Character classes of the grammar and of the word splitting (classic locale), one table entry
// per byte value: a command line is classified byte by byte, and a load and a test per byte is
// the least that can be done.
namespace command_grammar {

enum CharClass : unsigned char { DIGIT = 1, WORD = 2, SPACE = 4 };

struct CharClassTable {
  unsigned char of[256];
};

constexpr CharClassTable makeCharClassTable() {
  CharClassTable table{};
  for (int c = '0'; c <= '9'; ++c) table.of[c] = DIGIT | WORD;
  for (int c = 'a'; c <= 'z'; ++c) table.of[c] = WORD;
  for (int c = 'A'; c <= 'Z'; ++c) table.of[c] = WORD;
  table.of[static_cast<unsigned char>('_')] = WORD;
  for (char c : {' ', '\t', '\n', '\v', '\f', '\r'})
    table.of[static_cast<unsigned char>(c)] = SPACE;
  return table;
}

inline constexpr CharClassTable CHAR_CLASSES = makeCharClassTable();

inline bool is(char c, CharClass charClass) {
  return (CHAR_CLASSES.of[static_cast<unsigned char>(c)] & charClass) != 0;
}

}  // namespace command_grammar

// Whitespace: space, tab, LF, VT, FF, CR.
inline bool isCommandSpace(char c) { return command_grammar::is(c, command_grammar::SPACE); }

#endif  // ATE_SRC_COMMANDGRAMMAR_H_
