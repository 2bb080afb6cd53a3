#include "LineReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace std::string_literals;

namespace {

// A source that hands out input in pieces of at most chunk bytes, as a pipe may.
LineReader::Source piecewise(std::string input, std::size_t chunk) {
  auto offset = std::make_shared<std::size_t>(0);
  return [input, chunk, offset](char* buffer, std::size_t size) -> std::ptrdiff_t {
    const std::size_t count = std::min({chunk, size, input.size() - *offset});
    std::memcpy(buffer, input.data() + *offset, count);
    *offset += count;
    return static_cast<std::ptrdiff_t>(count);
  };
}

std::vector<std::string> readAll(LineReader& reader) {
  std::vector<std::string> lines;
  std::string line;
  while (reader.next(line)) lines.push_back(line);
  return lines;
}

TEST(LineReader, EndsLinesAtLineFeedWithOneCarriageReturn) {
  const std::string input = "a\nb\r\nc\r\r\n\n \r x\r\n\0z\nlast\r"s;
  const std::vector<std::string> expected = {"a", "b", "c\r", "", " \r x", "\0z"s, "last\r"};
  // Every way the input may arrive gives the same lines, CR LF split across reads included.
  for (std::size_t chunk : {1, 2, 3, 5, 64}) {
    LineReader reader(piecewise(input, chunk));
    EXPECT_EQ(readAll(reader), expected) << "chunk " << chunk;
    std::string line;
    EXPECT_FALSE(reader.next(line)) << "the end of input is final";
  }
}

TEST(LineReader, StopsAtTheEndOfInputOrAReadError) {
  LineReader empty(piecewise("", 8));
  EXPECT_TRUE(readAll(empty).empty());

  int calls = 0;
  LineReader failing([&](char*, std::size_t) -> std::ptrdiff_t {
    ++calls;
    return -1;
  });
  std::string line;
  EXPECT_FALSE(failing.next(line));
  EXPECT_FALSE(failing.next(line));
  EXPECT_EQ(calls, 1) << "a reader that has ended must not read again";
}

TEST(LineReader, ReadsLinesLargerThanItsBuffer) {
  const std::string big(1 << 20, 'x');
  LineReader reader(piecewise(big + "\r\n" + big, 1 << 20));
  EXPECT_EQ(readAll(reader), (std::vector<std::string>{big, big}));
}

}  // namespace
