#include "host/CommandLine.h"

#include <cmath>
#include <cstdlib>

namespace host {

std::string programBeside(const char* self, const std::string& name) {
  const std::string path = self;
  const std::string::size_type slash = path.find_last_of("/\\");
  return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + name +
         ATE_EXECUTABLE_SUFFIX;
}

std::optional<std::chrono::milliseconds> parseSeconds(std::string_view text) {
  // strtod would also take white space, hexadecimal, "inf" and "nan".
  if (text.empty() || text.find_first_not_of("0123456789.") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string copy(text);
  char* end = nullptr;
  const double seconds = std::strtod(copy.c_str(), &end);
  if (end != copy.c_str() + copy.size() || !(seconds >= 0 && seconds < 1e6)) return std::nullopt;
  return std::chrono::milliseconds(std::llround(seconds * 1000));
}

}  // namespace host
