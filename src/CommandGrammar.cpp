#include "src/CommandGrammar.h"

#include <algorithm>
#include <cstring>

namespace {

bool isDigit(char c) { return command_grammar::is(c, command_grammar::DIGIT); }

bool isWordChar(char c) { return command_grammar::is(c, command_grammar::WORD); }

// Whether text holds a CR or an LF. Searched in blocks small enough to stay in the cache, so
// that a long text is read from memory once for both characters.
bool hasLineTerminator(std::string_view text) {
  constexpr std::size_t BLOCK = 16 << 10;
  for (std::size_t at = 0; at < text.size(); at += BLOCK) {
    const std::size_t length = std::min(BLOCK, text.size() - at);
    if (std::memchr(text.data() + at, '\n', length) != nullptr ||
        std::memchr(text.data() + at, '\r', length) != nullptr) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool matchCommandGrammar(std::string_view line, CommandLayout& layout) {
  // Every repetition in the pattern is followed by a character its class excludes, so the
  // greedy reading is the only one and no backtracking is needed.
  const std::size_t size = line.size();
  std::size_t i = 0;

  const std::size_t digitsStart = i;
  while (i < size && isDigit(line[i])) ++i;
  if (i == digitsStart) return false;

  if (size - i < 4 || line[i] != '^' || line[i + 1] != 'q' || line[i + 2] != 'v' ||
      !isCommandSpace(line[i + 3])) {
    return false;
  }
  const std::size_t caret = i;
  i += 4;

  if (i >= size || line[i] != '-') return false;
  ++i;
  const std::size_t optionStart = i;
  while (i < size && isWordChar(line[i])) ++i;
  if (i == optionStart) return false;
  const std::size_t optionEnd = i;

  if (i >= size || !isCommandSpace(line[i])) return false;
  ++i;
  const std::size_t verbStart = i;
  while (i < size && isWordChar(line[i])) ++i;
  if (i == verbStart) return false;
  const std::size_t verbEnd = i;

  // The optional tail: one whitespace character, then no line terminator up to the end.
  if (i < size && (!isCommandSpace(line[i]) || hasLineTerminator(line.substr(i + 1)))) {
    return false;
  }
  layout = CommandLayout{caret, optionEnd, verbEnd};
  return true;
}

bool matchesCommandGrammar(std::string_view line) {
  CommandLayout layout;
  return matchCommandGrammar(line, layout);
}
