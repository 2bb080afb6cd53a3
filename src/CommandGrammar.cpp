#include "CommandGrammar.h"

#include <cstring>

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isWordChar(char c) {
  return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

}  // namespace

bool matchesCommandGrammar(std::string_view line) {
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
  i += 4;

  if (i >= size || line[i] != '-') return false;
  ++i;
  const std::size_t optionStart = i;
  while (i < size && isWordChar(line[i])) ++i;
  if (i == optionStart) return false;

  if (i >= size || !isCommandSpace(line[i])) return false;
  ++i;
  const std::size_t verbStart = i;
  while (i < size && isWordChar(line[i])) ++i;
  if (i == verbStart) return false;

  if (i == size) return true;
  // The optional tail: one whitespace character, then no line terminator up to the end.
  if (!isCommandSpace(line[i])) return false;
  ++i;
  const std::string_view tail = line.substr(i);
  return std::memchr(tail.data(), '\n', tail.size()) == nullptr &&
         std::memchr(tail.data(), '\r', tail.size()) == nullptr;
}
