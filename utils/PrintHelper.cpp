#include "utils/PrintHelper.h"

void writeLine(std::FILE* stream, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  writeTerminatedLine(stream, line);
}

void writeTerminatedLine(std::FILE* stream, std::string_view line) {
  // One fwrite keeps the line whole: the C stream locks itself for the duration of each call.
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}
