#include "station/access/LoginGuard.h"

#include <algorithm>

LoginGuard::Count& LoginGuard::count(std::map<std::string, Count>& table, const std::string& key,
                                     Clock::time_point now) {
  Count& entry = table[key];
  if (entry.failures > 0 && now - entry.last > limits_.lockFor && now >= entry.lockedUntil) {
    entry = Count();
  }
  return entry;
}

std::chrono::seconds LoginGuard::locked(const std::string& account, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  const Clock::time_point until = std::max(count(accounts_, account, now).lockedUntil,
                                           count(addresses_, address, now).lockedUntil);
  if (until <= now) return std::chrono::seconds(0);
  return std::chrono::duration_cast<std::chrono::seconds>(until - now) + std::chrono::seconds(1);
}

std::chrono::milliseconds LoginGuard::failed(const std::string& account,
                                             const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  int most = 0;
  for (auto [table, limit] : {std::pair{&accounts_, limits_.accountFailures},
                              std::pair{&addresses_, limits_.addressFailures}}) {
    Count& entry = count(*table, table == &accounts_ ? account : address, now);
    ++entry.failures;
    entry.last = now;
    if (entry.failures >= limit) entry.lockedUntil = now + limits_.lockFor;
    most = std::max(most, entry.failures);
  }
  // A table of every name anybody tried stays small: past a size, names that are not locked are
  // forgotten (a locked one stays, whatever is tried meanwhile).
  for (auto* table : {&accounts_, &addresses_}) {
    if (table->size() <= 10000) continue;
    for (auto it = table->begin(); it != table->end();) {
      it = it->second.lockedUntil <= now ? table->erase(it) : std::next(it);
    }
  }
  return std::min(limits_.delayStep * most, limits_.maxDelay);
}

void LoginGuard::succeeded(const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  accounts_.erase(account);
}
