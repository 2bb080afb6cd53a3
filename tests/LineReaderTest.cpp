#include "src/LineReader.h"

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

  // A read error ends the input like its end, also in the middle of a line: the line under way
  // is returned once, and the source is never asked again.
  using Lines = std::vector<std::string>;
  const std::pair<Lines, Lines> cases[] = {{{}, {}}, {{"a\nb", "c"}, {"a", "bc"}}};
  for (const auto& [given, lines] : cases) {
    const Lines& pieces = given;  // (a lambda can't capture a structured binding)
    std::size_t reads = 0;
    LineReader reader([&](char* buffer, std::size_t size) -> std::ptrdiff_t {
      if (reads == pieces.size()) return ++reads, -1;
      const std::string& piece = pieces[reads++];
      std::memcpy(buffer, piece.data(), std::min(size, piece.size()));
      return static_cast<std::ptrdiff_t>(piece.size());
    });
    EXPECT_EQ(readAll(reader), lines);
    std::string line;
    EXPECT_FALSE(reader.next(line));
    EXPECT_EQ(reads, pieces.size() + 1) << "a reader that has ended must not read again";
  }
}

TEST(LineReader, ReadsLinesLargerThanItsBuffer) {
  const std::string big(1 << 20, 'x');
  LineReader reader(piecewise(big + "\r\n" + big, 1 << 20));
  EXPECT_EQ(readAll(reader), (std::vector<std::string>{big, big}));
}

}  // namespace
