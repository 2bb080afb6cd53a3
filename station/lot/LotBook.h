// The lot's state, as its journal's records add it up: identity, datalogs, figures, guards,
// wafers, alarms, holds and the newest touchdown. The lot controller changes it only by records
// it writes to the journal first, and a station started again replays the journal into a fresh
// book, so the lot it resumes is the lot it was. Not thread-safe: its owner guards it.
#ifndef ATE_STATION_LOT_LOTBOOK_H_
#define ATE_STATION_LOT_LOTBOOK_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "station/lot/LotFigures.h"
#include "station/lot/LotRecords.h"
#include "station/lot/WaferTracker.h"
#include "station/lot/YieldGuards.h"

namespace lot {

enum class Phase { idle, running, ended };

// Who did what to the lot, and when: started, paused, resumed, ended it, cleared its alarms; and
// what the station did by itself (a guard's pause, a restart's resumption).
struct LotAction {
  std::string time;
  std::string who;
  std::string what;
};

// How the newest touchdown stands.
struct LastTouchdown {
  enum class Stage {
    none,    // no touchdown yet
    taken,   // tested, or about to be; its bins are not certain
    binned,  // its bins are durable; whether its BIN reached the handler is not known
    sent,    // its BIN went to the handler
    unsent   // its BIN could not be sent; the handler asks again
  };
  Stage stage = Stage::none;
  TouchdownTaken taken;
  TouchdownBinned binned;
};

class LotBook {
 public:
  // Takes a record into the state; false with error when it doesn't fit (a journal out of
  // order), leaving the state as it was as far as the record goes.
  bool apply(const Record& record, std::string& error);

  Phase phase() const { return phase_; }
  const Started& lot() const { return started_; }
  const std::vector<std::string>& datalogs() const { return datalogs_; }
  // Parts binned from the newest datalog's own passes.
  long partsInDatalog() const { return partsInDatalog_; }
  // The PART_ID the next new part gets.
  std::uint64_t nextPartId() const { return nextPartId_; }

  bool held(Hold hold) const { return holds_[static_cast<int>(hold)]; }
  bool paused() const;
  // The newest reason the lot was paused for; the handler's alarm before anything else.
  std::string pauseReason() const;

  const LastTouchdown& last() const { return last_; }
  long touchdowns() const { return touchdowns_; }
  // Of the newest binned touchdown: whether the part with this id passed.
  std::optional<bool> binnedPassed(std::uint64_t partId) const;

  const LotFigures& figures() const { return figures_; }
  LotFigures& figures() { return figures_; }  // for the timing, which no record carries
  const WaferTracker& wafers() const { return wafers_; }
  // Guards that trip after the newest touchdown, in words; empty when none does.
  std::string guardTripped() const;

  const std::vector<Alarm>& alarms() const { return alarms_; }
  const std::vector<LotAction>& actions() const { return actions_; }
  const std::vector<std::string>& restarts() const { return restarts_; }
  const std::string& endAsked() const { return endAsked_; }
  const std::string& endReason() const { return endReason_; }

 private:
  bool running(const char* what, std::string& error) const;
  bool bin(const TouchdownBinned& binned, std::string& error);

  Phase phase_ = Phase::idle;
  Started started_;
  std::vector<std::string> datalogs_;
  long partsInDatalog_ = 0;
  std::uint64_t nextPartId_ = 1;
  bool holds_[4] = {false, false, false, false};
  std::string pauseReason_;
  LastTouchdown last_;
  long touchdowns_ = 0;
  std::map<std::uint64_t, bool> lastPassed_;  // of the newest binned touchdown, by part id
  LotFigures figures_;
  WaferTracker wafers_;
  YieldGuards guards_;
  std::vector<Alarm> alarms_;
  std::vector<LotAction> actions_;
  std::vector<std::string> restarts_;
  std::string endAsked_;
  std::string endReason_;
};

}  // namespace lot

#endif  // ATE_STATION_LOT_LOTBOOK_H_
