#include "station/CrashPoints.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "station/Platform.h"

namespace {

struct Target {
  std::string name;
  long hit = 0;  // 0: none
};

Target target() {
  Target out;
  const char* value = std::getenv("ATE_STATION_CRASH_AT");
  if (value == nullptr) return out;
  const std::string text = value;
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return out;
  out.name = text.substr(0, colon);
  out.hit = std::strtol(text.c_str() + colon + 1, nullptr, 10);
  return out;
}

}  // namespace

void crashPoint(const char* name) {
  static const Target crash = target();
  static std::atomic<long> passed{0};
  if (crash.hit <= 0 || crash.name != name) return;
  if (++passed == crash.hit) {
    std::fprintf(stderr, "ate-station: crashing at %s:%ld, as asked\n", name, crash.hit);
    std::fflush(stderr);
    station_platform::crashNow();
  }
}
