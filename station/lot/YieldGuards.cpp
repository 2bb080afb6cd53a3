#include "station/lot/YieldGuards.h"

namespace lot {

namespace {

double percent(long good, long parts) { return parts == 0 ? 0.0 : 100.0 * good / parts; }

std::string figure(double value) { return std::to_string(value).substr(0, 5); }

}  // namespace

void YieldGuards::count(int site, bool passed) {
  for (Tally* tally : {&sites_[site], &lot_}) {
    ++tally->parts;
    if (passed) {
      ++tally->good;
      tally->failsInRow = 0;
    } else {
      ++tally->failsInRow;
    }
  }
}

std::string YieldGuards::belowYield(const std::string& whose, const Tally& tally,
                                    const YieldGuard& guard) {
  const long counted = tally.parts - tally.armedParts;
  const double yield = percent(tally.good - tally.armedGood, counted);
  if (guard.after == 0 || counted < guard.after || yield >= guard.percent) return "";
  return whose + " is " + figure(yield) + "% after " + std::to_string(counted) + " parts, below " +
         figure(guard.percent) + "%";
}

std::string YieldGuards::tripped(const std::vector<int>& sites) const {
  for (const int number : sites) {
    const auto found = sites_.find(number);
    if (found == sites_.end()) continue;
    const Tally& site = found->second;
    if (limits_.siteFailsInRow > 0 && site.failsInRow >= limits_.siteFailsInRow) {
      return "site " + std::to_string(number) + " failed " + std::to_string(site.failsInRow) +
             " parts in a row";
    }
    std::string low =
        belowYield("the yield of site " + std::to_string(number), site, limits_.siteYield);
    if (!low.empty()) return low;
  }
  return belowYield("the lot's yield", lot_, limits_.lotYield);
}

void YieldGuards::rearm() {
  for (auto& [number, site] : sites_) {
    site.failsInRow = 0;
    site.armedParts = site.parts;
    site.armedGood = site.good;
  }
  lot_.armedParts = lot_.parts;
  lot_.armedGood = lot_.good;
}

}  // namespace lot
