#include "station/EventLog.h"

void EventLog::append(LogLine::Kind kind, std::string text) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(LogLine{nextId_++, kind, std::move(text)});
    while (lines_.size() > capacity_) lines_.pop_front();
  }
  changed_.notify_all();
}

void EventLog::touch() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++generation_;
  }
  changed_.notify_all();
}

EventLog::Batch EventLog::since(std::uint64_t after, std::size_t max) const {
  std::lock_guard<std::mutex> lock(mutex_);
  Batch batch;
  if (lines_.empty()) return batch;
  const std::uint64_t first = lines_.front().id;
  if (after + 1 < first) {
    batch.skipped = first - after - 1;
    after = first - 1;
  }
  for (std::size_t i = after + 1 - first; i < lines_.size() && batch.lines.size() < max; ++i) {
    batch.lines.push_back(lines_[i]);
  }
  return batch;
}

std::uint64_t EventLog::wait(std::uint64_t after, std::uint64_t generation,
                             std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, timeout,
                    [&] { return nextId_ - 1 > after || generation_ != generation; });
  return generation_;
}

std::uint64_t EventLog::lastId() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return nextId_ - 1;
}

std::uint64_t EventLog::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_.empty() ? 0 : lines_.front().id - 1;
}

std::uint64_t EventLog::generation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return generation_;
}
