// Splits standard input into command lines.
#ifndef ATE_SRC_LINEREADER_H_
#define ATE_SRC_LINEREADER_H_

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

class LineReader {
 public:
  // source reads up to n bytes into a buffer, returning as soon as any are available: the
  // count, 0 at end of input, or a negative number on a read error.
  using Source = std::function<std::ptrdiff_t(char* buffer, std::size_t n)>;

  explicit LineReader(Source source) : source_(std::move(source)) {}

  // Reads the next line into line. A line ends at LF; one CR directly before the LF belongs to
  // the line end; nothing else is removed. False at the end of input (or on a read error); an
  // unterminated last line is returned once before that.
  bool next(std::string& line);

 private:
  Source source_;
  std::vector<char> buffer_ = std::vector<char>(1 << 16);
  std::size_t begin_ = 0;  // unread bytes are buffer_[begin_, end_)
  std::size_t end_ = 0;
  bool ended_ = false;
};

#endif  // ATE_SRC_LINEREADER_H_
