#include "station/lot/LotFigures.h"

#include <algorithm>

namespace lot {

namespace {

// Timing figures look at the newest touchdowns.
constexpr std::size_t RECENT = 100;

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  return values[middle];
}

}  // namespace

void LotFigures::reset(const std::vector<std::string>& devices) {
  *this = LotFigures();
  for (std::size_t i = 0; i < devices.size(); ++i) {
    sites_[static_cast<int>(i + 1)].device = devices[i];
  }
}

void LotFigures::count(int site, int hardBin, int softBin, bool passed,
                       std::optional<bool> superseded) {
  Site& tally = sites_[site];
  ++tally.parts;
  ++parts_;
  ++hardBins_[hardBin];
  ++softBins_[softBin];
  if (passed) {
    ++tally.good;
    ++good_;
  }
  if (superseded) {
    ++retests_;
    if (*superseded) --good_;
  }
}

void LotFigures::timed(Clock::time_point sot, Clock::time_point bin, std::size_t parts) {
  recent_.push_back(Timed{sot, bin, parts});
  testTimes_.push_back(std::chrono::duration<double, std::milli>(bin - sot).count());
  if (lastBin_) {
    indexTimes_.push_back(std::chrono::duration<double, std::milli>(sot - *lastBin_).count());
  }
  lastBin_ = bin;
  if (recent_.size() > RECENT) recent_.pop_front();
  if (testTimes_.size() > RECENT) testTimes_.pop_front();
  if (indexTimes_.size() > RECENT) indexTimes_.pop_front();
}

double LotFigures::unitsPerHour() const {
  if (recent_.empty()) return 0;
  std::size_t parts = 0;
  for (const Timed& t : recent_) parts += t.parts;
  const double hours =
      std::chrono::duration<double>(recent_.back().bin - recent_.front().sot).count() / 3600;
  return hours > 0 ? static_cast<double>(parts) / hours : 0;
}

double LotFigures::testTimeMs() const { return median({testTimes_.begin(), testTimes_.end()}); }
double LotFigures::indexTimeMs() const { return median({indexTimes_.begin(), indexTimes_.end()}); }

}  // namespace lot
