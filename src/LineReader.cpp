#include "src/LineReader.h"

#include <cstring>

bool LineReader::next(std::string& line) {
  line.clear();
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const std::size_t available = end_ - begin_;
    if (const void* found = std::memchr(start, '\n', available)) {
      const std::size_t length = static_cast<const char*>(found) - start;
      line.append(start, length);
      begin_ += length + 1;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
    line.append(start, available);
    begin_ = end_ = 0;
    if (ended_) return false;
    const std::ptrdiff_t count = source_(buffer_.data(), buffer_.size());
    if (count <= 0) {
      ended_ = true;
      // The unterminated last line, if any, counts as a line; its CR is text, not a line end.
      return !line.empty();
    }
    end_ = static_cast<std::size_t>(count);
  }
}
