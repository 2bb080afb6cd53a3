#include "station/lot/LotBook.h"

#include <algorithm>

namespace lot {

namespace {

// Alarms kept for the page, the newest.
constexpr std::size_t KEPT_ALARMS = 200;

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

}  // namespace

bool LotBook::running(const char* what, std::string& error) const {
  if (phase_ == Phase::running) return true;
  error = std::string("a record of ") + what + " while no lot runs";
  return false;
}

bool LotBook::paused() const {
  return std::any_of(std::begin(holds_), std::end(holds_), [](bool held) { return held; });
}

std::string LotBook::pauseReason() const {
  return held(Hold::handlerAlarm) ? "the handler's alarm" : pauseReason_;
}

std::optional<bool> LotBook::binnedPassed(std::uint64_t partId) const {
  const auto found = lastPassed_.find(partId);
  if (found == lastPassed_.end()) return std::nullopt;
  return found->second;
}

std::string LotBook::guardTripped() const {
  std::vector<int> sites;
  for (const PartBin& part : last_.binned.parts) sites.push_back(part.site);
  return guards_.tripped(sites);
}

bool LotBook::bin(const TouchdownBinned& binned, std::string& error) {
  const TouchdownTaken& taken = last_.taken;
  if (last_.stage != LastTouchdown::Stage::taken || taken.number != binned.number ||
      taken.sites.size() != binned.parts.size()) {
    error = "bins of touchdown " + std::to_string(binned.number) + ", which is not the one taken";
    return false;
  }
  std::map<std::uint64_t, bool> passed;
  for (std::size_t i = 0; i < binned.parts.size(); ++i) {
    const SitePart& site = taken.sites[i];
    const PartBin& part = binned.parts[i];
    std::optional<bool> superseded;
    if (site.die && wafers_.onWafer()) {
      superseded = wafers_.add(DiePart{site.die->x, site.die->y, part.site, part.hardBin,
                                       part.passed, std::to_string(site.partId)});
    } else if (site.retest) {
      superseded = binnedPassed(site.partId);
    }
    figures_.count(part.site, part.hardBin, part.softBin, part.passed, superseded);
    guards_.count(part.site, part.passed);
    passed[site.partId] = part.passed;
  }
  lastPassed_ = std::move(passed);
  if (!binned.fromDatalog) partsInDatalog_ += static_cast<long>(binned.parts.size());
  ++touchdowns_;
  last_.binned = binned;
  last_.stage = LastTouchdown::Stage::binned;
  return true;
}

bool LotBook::apply(const Record& record, std::string& error) {
  return std::visit(
      Overloaded{
          [&](const Started& r) {
            *this = LotBook();
            phase_ = Phase::running;
            started_ = r;
            figures_.reset(r.devices);
            guards_ = YieldGuards(r.request.guards);
            actions_.push_back({r.startedAt, r.by, "started the lot"});
            return true;
          },
          [&](const DatalogOpened& r) {
            if (!running("a datalog", error)) return false;
            datalogs_.push_back(r.file);
            partsInDatalog_ = 0;
            nextPartId_ = std::max(nextPartId_, r.firstPartId);
            return true;
          },
          [&](const DatalogDropped& r) {
            datalogs_.erase(std::remove(datalogs_.begin(), datalogs_.end(), r.file),
                            datalogs_.end());
            return true;
          },
          [&](const WaferStarted& r) {
            if (!running("a wafer", error)) return false;
            wafers_.start(r.id);
            return true;
          },
          [&](const WaferEnded&) {
            wafers_.end();
            return true;
          },
          [&](const TouchdownTaken& r) {
            if (!running("a touchdown", error)) return false;
            last_ = LastTouchdown{LastTouchdown::Stage::taken, r, {}};
            for (const SitePart& part : r.sites) {
              nextPartId_ = std::max(nextPartId_, part.partId + 1);
            }
            return true;
          },
          [&](const TouchdownBinned& r) { return running("bins", error) && bin(r, error); },
          [&](const BinSent& r) {
            if (last_.stage != LastTouchdown::Stage::binned &&
                last_.stage != LastTouchdown::Stage::unsent) {
              error = "a BIN sent for touchdown " + std::to_string(r.number) + " before its bins";
              return false;
            }
            last_.stage = r.ok ? LastTouchdown::Stage::sent : LastTouchdown::Stage::unsent;
            return true;
          },
          [&](const Paused& r) {
            holds_[static_cast<int>(r.hold)] = true;
            if (r.hold != Hold::handlerAlarm) pauseReason_ = r.why;
            actions_.push_back({r.at, r.by, "paused the lot: " + r.why});
            return true;
          },
          [&](const Resumed& r) {
            actions_.push_back(
                {r.at, r.by,
                 r.hold == Hold::handlerAlarm ? "cleared the handler's alarm" : "resumed the lot"});
            if (r.hold == Hold::handlerAlarm) {
              holds_[static_cast<int>(Hold::handlerAlarm)] = false;
              return true;
            }
            for (const Hold hold : {Hold::operatorPause, Hold::guard, Hold::program}) {
              holds_[static_cast<int>(hold)] = false;
            }
            pauseReason_.clear();
            guards_.rearm();
            return true;
          },
          [&](const AlarmsCleared& r) {
            alarms_.clear();
            actions_.push_back({r.at, r.by, "cleared the alarms"});
            return true;
          },
          [&](const Alarm& r) {
            alarms_.push_back(r);
            if (alarms_.size() > KEPT_ALARMS) alarms_.erase(alarms_.begin());
            return true;
          },
          [&](const Restarted& r) {
            restarts_.push_back(r.at);
            actions_.push_back({r.at, "station", "resumed the lot after a restart"});
            return true;
          },
          [&](const EndAsked& r) {
            endAsked_ = r.why;
            actions_.push_back({r.at, r.by, "ended the lot (" + r.why + ")"});
            return true;
          },
          [&](const Ended& r) {
            if (!running("the end", error)) return false;
            phase_ = Phase::ended;
            endReason_ = r.why;
            wafers_.end();
            for (bool& hold : holds_) hold = false;
            pauseReason_.clear();
            last_ = LastTouchdown();
            return true;
          },
      },
      record);
}

}  // namespace lot
