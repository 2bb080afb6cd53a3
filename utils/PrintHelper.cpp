#include "PrintHelper.h"

void writeLine(std::FILE* stream, std::string_view text) {
  // One fwrite keeps the line whole: the C stream locks itself for the duration of each call.
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}
