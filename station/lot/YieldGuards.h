// The lot's yield guards (docs/handler.md): a site failing N parts in a row, a site's yield or
// the lot's yield below P % once M parts were counted. They count every part tested (retests
// too) since they were last armed: at the lot's start, and each time the operator resumes it.
#ifndef ATE_STATION_LOT_YIELDGUARDS_H_
#define ATE_STATION_LOT_YIELDGUARDS_H_

#include <map>
#include <string>
#include <vector>

#include "station/lot/LotRequest.h"

namespace lot {

class YieldGuards {
 public:
  explicit YieldGuards(LotGuards limits = LotGuards()) : limits_(limits) {}

  void count(int site, bool passed);
  // After a touchdown on sites: what tripped, in words for people; empty when nothing did.
  std::string tripped(const std::vector<int>& sites) const;
  // Every guard counts afresh from here.
  void rearm();

 private:
  struct Tally {
    long parts = 0;
    long good = 0;
    long failsInRow = 0;
    long armedParts = 0;  // parts and good when last armed
    long armedGood = 0;
  };
  static std::string belowYield(const std::string& whose, const Tally& tally,
                                const YieldGuard& guard);

  LotGuards limits_;
  std::map<int, Tally> sites_;
  Tally lot_;
};

}  // namespace lot

#endif  // ATE_STATION_LOT_YIELDGUARDS_H_
