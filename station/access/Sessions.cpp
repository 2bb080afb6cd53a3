#include "station/access/Sessions.h"

#include "crypto/Random.h"

void Sessions::expire(Clock::time_point now) {
  // A sweep now and then keeps sessions nobody ends from piling up.
  if (now - lastSweep_ < std::chrono::minutes(1)) return;
  lastSweep_ = now;
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = now - it->second.lastUsed > idle_ ? sessions_.erase(it) : std::next(it);
  }
}

std::string Sessions::open(const std::string& account) {
  const std::string id = crypto::randomText(32);
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  expire(now);
  sessions_[id] = Entry{account, now};
  return id;
}

std::optional<std::string> Sessions::use(const std::string& id) {
  if (id.empty()) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  const Clock::time_point now = Clock::now();
  expire(now);
  const auto found = sessions_.find(id);
  if (found == sessions_.end()) return std::nullopt;
  if (now - found->second.lastUsed > idle_) {
    sessions_.erase(found);
    return std::nullopt;
  }
  found->second.lastUsed = now;
  return found->second.account;
}

bool Sessions::alive(const std::string& id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = sessions_.find(id);
  return found != sessions_.end() && Clock::now() - found->second.lastUsed <= idle_;
}

void Sessions::close(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(id);
}

void Sessions::closeAccount(const std::string& account) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = it->second.account == account ? sessions_.erase(it) : std::next(it);
  }
}

std::size_t Sessions::open() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sessions_.size();
}
