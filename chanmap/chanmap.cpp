#include "chanmap/chanmap.h"

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <utility>

#include "chanmap/LineOutput.h"

namespace chanmap_internal {

void writeLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace chanmap_internal

using chanmap_internal::writeLine;

SigDefine::SigDefine(std::string name, std::string type, std::string no,
                     std::map<int, std::string> siteMaps)
    : name(std::move(name)),
      type(std::move(type)),
      no(std::move(no)),
      siteMaps(std::move(siteMaps)) {}

DPS::DPS() = default;

DPS& DPS::signal(SigDefine& sigdefine) {
  const std::map<int, std::string> sites = sigdefine.siteMaps;
  writeLine("SigDefine Type:" + sigdefine.type);
  writeLine("SigDefine Name:" + sigdefine.name);
  writeLine("SigDefine No:" + sigdefine.no);
  writeLine("SigDefine Map Size:" + std::to_string(sites.size()));
  for (const auto& [site, channel] : sites) {
    writeLine("site:" + std::to_string(site) + "  channel:" + channel);
  }
  return *this;
}

DPS& DPS::setMode(std::string mode) {
  writeLine("mode:" + mode);
  return *this;
}

namespace {
// Serialises creation of the project object; constant-initialised, so usable at any time.
std::mutex creationMutex;
}  // namespace

std::atomic<ProjectOperate*> ProjectOperate::instanceOwner{nullptr};

ProjectOperate::ProjectOperate() = default;
ProjectOperate::~ProjectOperate() = default;

ProjectOperate* ProjectOperate::instance() {
  ProjectOperate* current = instanceOwner.load(std::memory_order_acquire);
  if (current != nullptr) return current;
  std::lock_guard<std::mutex> lock(creationMutex);
  current = instanceOwner.load(std::memory_order_relaxed);
  if (current == nullptr) {
    writeLine("ProjectOperate instance");
    current = new ProjectOperate();
    instanceOwner.store(current, std::memory_order_release);
  }
  return current;
}

// The power supply object, constructed when the library is loaded, and the reference to it that
// the header declares. Both are exported under their plain names.
extern "C" {
CHANMAP_API DPS dpsInstance;
CHANMAP_API DPS& dps = dpsInstance;
}

extern "C" int sum(int min, int max) {
  // Unsigned arithmetic wraps instead of overflowing; the conversion back keeps the low bits.
  const auto total = static_cast<std::uint32_t>(min) + static_cast<std::uint32_t>(max);
  return static_cast<int>(total);
}

extern "C" void printf_test(const char* test) {
  if (test == nullptr) return;
  // A conversion is '%', then flags, width, precision, length and a conversion character, none
  // of which is '%'. So writing every conversion unchanged, except "%%" which gives '%', comes
  // down to collapsing each "%%" pair met left to right and copying everything else, a lone
  // trailing '%' included.
  std::string out;
  for (const char* p = test; *p != '\0'; ++p) {
    out.push_back(*p);
    if (*p == '%' && p[1] == '%') ++p;
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}
