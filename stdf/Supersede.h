// Which parts a later part supersedes, by the rule every reader of the project applies to any
// tester's datalog: on a wafer, a die tested again (the same X,Y on the same wafer) supersedes
// its earlier part, whether the later PRR flags it as a retest or not (testers often re-probe
// without setting the flag); without coordinates, a part supersedes an earlier one only when its
// PRR flags it as a retest of the same part id (PART_FLG bit 0) and names the same PART_ID.
// Final counts (yield, bins, good dies) count each die, or part, once, with its last result.
#ifndef ATE_STDF_SUPERSEDE_H_
#define ATE_STDF_SUPERSEDE_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <utility>

#include "stdf/StdfFormat.h"

namespace stdf {

// What the rule looks at in a part.
struct PartIdentity {
  std::string wafer;                      // the WIR's WAFER_ID; empty outside a wafer
  bool onWafer = false;                   // between a WIR and its WRR
  std::uint8_t head = 1;                  // HEAD_NUM
  std::optional<std::pair<int, int>> xy;  // X_COORD, Y_COORD when both are given
  std::string partId;                     // PART_ID
  std::uint8_t partFlag = 0;              // PART_FLG
};

// Follows the parts of one lot (its files read in order) and says, for each, which earlier part
// it supersedes. Holds one entry per die and per part id, not the parts themselves.
class SupersedeTracker {
 public:
  // The part numbered index (any increasing numbering, e.g. its position in the lot): the
  // number of the earlier part it supersedes, if any.
  std::optional<std::size_t> add(std::size_t index, const PartIdentity& part);

 private:
  std::map<std::tuple<std::string, std::uint8_t, int, int>, std::size_t> dies_;
  std::map<std::pair<std::uint8_t, std::string>, std::size_t> partIds_;
};

}  // namespace stdf

#endif  // ATE_STDF_SUPERSEDE_H_
