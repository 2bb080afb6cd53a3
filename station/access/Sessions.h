// Logged-in sessions of the station's page: a random id (the cookie's value) for an account,
// which ends when it goes unused for the idle time, or at logout. Thread-safe.
#ifndef ATE_STATION_ACCESS_SESSIONS_H_
#define ATE_STATION_ACCESS_SESSIONS_H_

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

class Sessions {
 public:
  using Clock = std::chrono::steady_clock;

  explicit Sessions(std::chrono::seconds idle) : idle_(idle) {}

  // A new session for the account: its id (32 random bytes, base64url).
  std::string open(const std::string& account);
  // The account of a live session, which counts as used now; empty when there is none (or it
  // went unused too long).
  std::optional<std::string> use(const std::string& id);
  // Whether the session lives, without counting as a use (an event stream asks this).
  bool alive(const std::string& id) const;
  void close(const std::string& id);
  // Ends every session of the account (removed, its password or role changed).
  void closeAccount(const std::string& account);
  std::size_t open() const;

 private:
  struct Entry {
    std::string account;
    Clock::time_point lastUsed;
  };
  void expire(Clock::time_point now);  // under the lock

  const std::chrono::seconds idle_;
  mutable std::mutex mutex_;  // guards everything below
  std::map<std::string, Entry> sessions_;
  Clock::time_point lastSweep_ = Clock::now();
};

#endif  // ATE_STATION_ACCESS_SESSIONS_H_
