#include "station/lot/TouchdownRunner.h"

#include "station/CrashPoints.h"
#include "station/StationSession.h"

namespace lot {

namespace {

// How often a touchdown is tried when the driver ends under it.
constexpr int ATTEMPTS = 3;

}  // namespace

void TouchdownRunner::follow(const std::string& datalog) {
  datalog_ = datalog;
  follower_ = std::make_unique<stdf::StdfFollower>();
}

bool TouchdownRunner::collect(const std::vector<int>& sites, std::map<int, LoggedPart>& parts) {
  if (!follower_) return false;
  const stdf::StdfFollower::Update update =
      follower_->update(datalog_, [&](const stdf::Record& record) {
        if (!record.is("PRR") || record.fields.size() <= stdf::field::PRR_HARD_BIN) return;
        const int site = static_cast<int>(record.fields[stdf::field::PRR_SITE_NUM].u);
        const auto flags = record.fields[stdf::field::PRR_PART_FLG].u;
        const int soft = record.fields.size() > stdf::field::PRR_SOFT_BIN
                             ? static_cast<int>(record.fields[stdf::field::PRR_SOFT_BIN].u)
                             : 0;
        parts[site] = {static_cast<int>(record.fields[stdf::field::PRR_HARD_BIN].u), soft,
                       (flags & stdf::flag::PART_NOT_GOOD) == 0,
                       std::string(record.textValue("PART_ID"))};
      });
  if (update.error != nullptr) hooks_.alarm("the lot's datalog: " + update.error->message);
  for (const int site : sites) {
    if (parts.count(site) == 0) return false;
  }
  return true;
}

TouchdownRunner::Outcome TouchdownRunner::run(const std::string& settingPath,
                                              const std::vector<int>& sites) {
  Outcome outcome;
  for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
    const CommandResult ran = session_.run("touchdown", settingPath);
    host::Outcome ended = host::Outcome::driverEnded;
    if (ran.outcome == CommandResult::Outcome::done) {
      crashPoint("pass");
      ended = session_.waitForRuns(passTimeout_);
    } else if (ran.outcome == CommandResult::Outcome::errorReply ||
               ran.outcome == CommandResult::Outcome::timeout) {
      hooks_.alarm("the touchdown's run failed: " + ran.message);
      ended = host::Outcome::timeout;
    }
    outcome.passEnded = std::chrono::steady_clock::now();
    outcome.complete = collect(sites, outcome.parts);
    if (outcome.complete || ended == host::Outcome::ok) break;
    if (ended == host::Outcome::timeout) {
      hooks_.alarm("the touchdown's pass did not end; its parts get the incomplete bin");
      break;
    }
    // The driver ended under the touchdown: its parts are still in the sites.
    outcome.parts.clear();
    if (hooks_.stopping()) {
      outcome.abandoned = true;
      break;
    }
    if (!hooks_.reload()) {
      // (held for its program, say: the touchdown waits for the operator)
      if (hooks_.stopping()) {
        outcome.abandoned = true;
        break;
      }
      hooks_.alarm("the driver could not be started and loaded again");
      break;
    }
  }
  return outcome;
}

}  // namespace lot
