// The lot's figures: parts per site and overall, good parts, retests and hard bins, counted as
// each touchdown is binned; and, for the page only (not kept over a restart), units per hour,
// test time and index time over the newest touchdowns.
//
// `parts` counts every part binned, retests too; `good` and the yield count each die or part
// once, with its last result. The per-site figures and the bins count every part binned.
#ifndef ATE_STATION_LOT_LOTFIGURES_H_
#define ATE_STATION_LOT_LOTFIGURES_H_

#include <chrono>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace lot {

class LotFigures {
 public:
  using Clock = std::chrono::steady_clock;

  struct Site {
    std::string device;
    long parts = 0;
    long good = 0;
  };

  void reset(const std::vector<std::string>& devices);
  // A part binned. superseded: when it tested again a die or part binned before, whether that
  // one had passed.
  void count(int site, int hardBin, int softBin, bool passed, std::optional<bool> superseded);
  // A touchdown from its SOT to its BIN.
  void timed(Clock::time_point sot, Clock::time_point bin, std::size_t parts);

  long parts() const { return parts_; }
  long retests() const { return retests_; }
  long good() const { return good_; }
  // Good dies and parts among the final ones, in percent.
  double yield() const { return percent(good_, parts_ - retests_); }
  const std::map<int, Site>& sites() const { return sites_; }
  const std::map<int, long>& hardBins() const { return hardBins_; }
  const std::map<int, long>& softBins() const { return softBins_; }  // 0: not known
  double unitsPerHour() const;
  double testTimeMs() const;
  double indexTimeMs() const;

  static double percent(long good, long parts) {
    return parts == 0 ? 0.0 : 100.0 * static_cast<double>(good) / static_cast<double>(parts);
  }

 private:
  struct Timed {
    Clock::time_point sot, bin;
    std::size_t parts = 0;
  };
  long parts_ = 0;
  long retests_ = 0;
  long good_ = 0;
  std::map<int, Site> sites_;
  std::map<int, long> hardBins_;
  std::map<int, long> softBins_;
  std::deque<Timed> recent_;
  std::deque<double> testTimes_, indexTimes_;  // milliseconds
  std::optional<Clock::time_point> lastBin_;
};

}  // namespace lot

#endif  // ATE_STATION_LOT_LOTFIGURES_H_
