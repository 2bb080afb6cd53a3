// The wafers of a prober's lot: the one in progress and those before it, each die's last result
// and every part tested on it (for the page's wafer map). A die tested again supersedes its
// earlier part: the wafer's good dies count its last result.
#ifndef ATE_STATION_LOT_WAFERTRACKER_H_
#define ATE_STATION_LOT_WAFERTRACKER_H_

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace lot {

// A part tested on a wafer, in test order.
struct DiePart {
  int x = 0, y = 0, site = 0, hardBin = 0;
  bool passed = false;
  std::string partId;
};

struct Wafer {
  std::string id;
  std::vector<DiePart> parts;                // retests included
  std::map<std::pair<int, int>, bool> dies;  // the last result of each X,Y
  long good = 0;                             // dies whose last result passed
  long retests = 0;                          // parts that tested a die again
  bool ended = false;
};

class WaferTracker {
 public:
  void start(const std::string& id);
  // Ends the wafer in progress, if any; false when there was none.
  bool end();
  bool onWafer() const { return onWafer_; }
  // The wafer in progress; null when none is.
  const Wafer* current() const { return onWafer_ ? &wafers_.back() : nullptr; }
  const std::vector<Wafer>& wafers() const { return wafers_; }
  // The newest wafer with that id; null when the lot has none.
  const Wafer* find(const std::string& id) const;

  // Whether the die at x,y of the wafer in progress was tested already.
  bool tested(int x, int y) const;
  // A part tested on the wafer in progress. When it tested a die again: whether the die's
  // earlier part had passed.
  std::optional<bool> add(const DiePart& part);

 private:
  std::vector<Wafer> wafers_;  // oldest first
  bool onWafer_ = false;
};

}  // namespace lot

#endif  // ATE_STATION_LOT_WAFERTRACKER_H_
