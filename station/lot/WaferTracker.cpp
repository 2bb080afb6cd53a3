#include "station/lot/WaferTracker.h"

#include <algorithm>

namespace lot {

void WaferTracker::start(const std::string& id) {
  wafers_.push_back(Wafer{id, {}, {}, 0, 0, false});
  onWafer_ = true;
}

bool WaferTracker::end() {
  if (!onWafer_) return false;
  onWafer_ = false;
  wafers_.back().ended = true;
  return true;
}

const Wafer* WaferTracker::find(const std::string& id) const {
  const auto found = std::find_if(wafers_.rbegin(), wafers_.rend(),
                                  [&](const Wafer& wafer) { return wafer.id == id; });
  return found == wafers_.rend() ? nullptr : &*found;
}

bool WaferTracker::tested(int x, int y) const {
  return onWafer_ && wafers_.back().dies.count({x, y}) != 0;
}

std::optional<bool> WaferTracker::add(const DiePart& part) {
  if (!onWafer_) return std::nullopt;
  Wafer& wafer = wafers_.back();
  wafer.parts.push_back(part);
  std::optional<bool> superseded;
  const auto [die, first] = wafer.dies.emplace(std::make_pair(part.x, part.y), part.passed);
  if (!first) {
    superseded = die->second;
    ++wafer.retests;
    if (die->second) --wafer.good;
    die->second = part.passed;
  }
  if (part.passed) ++wafer.good;
  return superseded;
}

}  // namespace lot
