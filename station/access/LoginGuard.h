// Failed logins are slowed, then locked for a while: each failure of an account or from an
// address makes the next answer wait longer; five failures of an account, or twenty from an
// address, lock it for fifteen minutes. A success of the account clears its count. Failures are
// forgotten fifteen minutes after the last one. Thread-safe.
#ifndef ATE_STATION_ACCESS_LOGINGUARD_H_
#define ATE_STATION_ACCESS_LOGINGUARD_H_

#include <chrono>
#include <map>
#include <mutex>
#include <string>

struct LoginGuardLimits {
  int accountFailures = 5;
  int addressFailures = 20;
  std::chrono::seconds lockFor{900};
  std::chrono::milliseconds delayStep{100};  // the wait grows by this with each failure
  std::chrono::milliseconds maxDelay{2000};
};

class LoginGuard {
 public:
  using Clock = std::chrono::steady_clock;

  explicit LoginGuard(LoginGuardLimits limits = LoginGuardLimits()) : limits_(limits) {}

  // How long the account or the address is still locked; zero when a try may go ahead.
  std::chrono::seconds locked(const std::string& account, const std::string& address);
  // A failed try: how long its answer waits.
  std::chrono::milliseconds failed(const std::string& account, const std::string& address);
  void succeeded(const std::string& account);

 private:
  struct Count {
    int failures = 0;
    Clock::time_point last;
    Clock::time_point lockedUntil;
  };
  Count& count(std::map<std::string, Count>& table, const std::string& key, Clock::time_point now);

  const LoginGuardLimits limits_;
  std::mutex mutex_;  // guards the tables
  std::map<std::string, Count> accounts_, addresses_;
};

#endif  // ATE_STATION_ACCESS_LOGINGUARD_H_
