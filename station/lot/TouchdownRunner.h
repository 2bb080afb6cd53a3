// One touchdown's pass through the driver: the pass's setting names the devices of the
// touchdown's sites, one run tests them, and each site's part is read from the PRRs the pass
// added to the lot's datalog. A driver that ends under the pass is started again and loaded
// into a new datalog, and the pass tried again: the parts are still in the sites.
#ifndef ATE_STATION_LOT_TOUCHDOWNRUNNER_H_
#define ATE_STATION_LOT_TOUCHDOWNRUNNER_H_

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "stdf/StdfReader.h"

class StationSession;

namespace lot {

// A part as its PRR logged it.
struct LoggedPart {
  int hardBin = 0;
  int softBin = 0;
  bool passed = false;
  std::string partId;
};

class TouchdownRunner {
 public:
  struct Hooks {
    // Starts the driver again and loads the lot into a new datalog; false when it can't.
    std::function<bool()> reload;
    // Whether the station is ending, or the lot is held: a pass the driver can't finish is then
    // left alone.
    std::function<bool()> stopping;
    std::function<void(const std::string&)> alarm;
  };

  TouchdownRunner(StationSession& session, std::chrono::milliseconds passTimeout, Hooks hooks)
      : session_(session), passTimeout_(passTimeout), hooks_(std::move(hooks)) {}

  // From now on the lot's passes go into datalog (a new file).
  void follow(const std::string& datalog);
  const std::string& datalog() const { return datalog_; }

  struct Outcome {
    std::map<int, LoggedPart> parts;                  // by site, for the sites the pass logged
    bool complete = false;                            // every site has its part
    bool abandoned = false;                           // the station ends: the parts get no BIN
    std::chrono::steady_clock::time_point passEnded;  // the run's end, before the datalog's
  };
  // Runs the touchdown's pass on sites with the setting already written at settingPath.
  Outcome run(const std::string& settingPath, const std::vector<int>& sites);

 private:
  // Reads the passes added to the datalog since the last look.
  bool collect(const std::vector<int>& sites, std::map<int, LoggedPart>& parts);

  StationSession& session_;
  const std::chrono::milliseconds passTimeout_;
  const Hooks hooks_;
  std::string datalog_;
  std::unique_ptr<stdf::StdfFollower> follower_;
};

}  // namespace lot

#endif  // ATE_STATION_LOT_TOUCHDOWNRUNNER_H_
