#include "stdf/Supersede.h"

namespace stdf {

std::optional<std::size_t> SupersedeTracker::add(std::size_t index, const PartIdentity& part) {
  std::optional<std::size_t> superseded;
  if (part.onWafer && part.xy) {
    const auto key = std::make_tuple(part.wafer, part.head, part.xy->first, part.xy->second);
    const auto [at, inserted] = dies_.emplace(key, index);
    if (!inserted) {
      superseded = at->second;
      at->second = index;
    }
  }
  if (!part.partId.empty()) {
    const auto key = std::make_pair(part.head, part.partId);
    if (!superseded && (part.partFlag & flag::PART_RETEST_OF_ID) != 0) {
      const auto earlier = partIds_.find(key);
      if (earlier != partIds_.end()) superseded = earlier->second;
    }
    partIds_[key] = index;
  }
  return superseded;
}

}  // namespace stdf
