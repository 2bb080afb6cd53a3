// The station's record of what the driver wrote and what the station did, for the page: a
// bounded list of numbered lines. A run that prints forever keeps only the newest lines; the
// older ones are dropped and counted.
#ifndef ATE_STATION_EVENTLOG_H_
#define ATE_STATION_EVENTLOG_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

struct LogLine {
  enum class Kind { out, err, station };  // driver stdout, driver stderr, the station's own
  std::uint64_t id = 0;                   // 1, 2, 3, ... in the order the lines came
  Kind kind = Kind::out;
  std::string text;
};

// Thread-safe: the driver's readers append, every event stream reads.
class EventLog {
 public:
  explicit EventLog(std::size_t capacity) : capacity_(capacity) {}

  void append(LogLine::Kind kind, std::string text);

  // Something other than a line changed (the state, the datalog): wakes every waiting reader.
  void touch();

  // What a reader that has seen every line up to after gets next, at most max lines.
  struct Batch {
    std::vector<LogLine> lines;
    std::uint64_t skipped = 0;  // lines after `after` that were dropped before this reader came
  };
  Batch since(std::uint64_t after, std::size_t max) const;

  // Waits until a line after `after` exists, touch() has been called since `generation`, or
  // timeout passes. Returns the generation now.
  std::uint64_t wait(std::uint64_t after, std::uint64_t generation,
                     std::chrono::milliseconds timeout) const;
  void wakeAll() const { changed_.notify_all(); }

  std::uint64_t lastId() const;
  std::uint64_t dropped() const;  // lines dropped to keep the log within its capacity
  std::uint64_t generation() const;

 private:
  const std::size_t capacity_;
  mutable std::mutex mutex_;  // guards everything below
  mutable std::condition_variable changed_;
  std::deque<LogLine> lines_;
  std::uint64_t nextId_ = 1;
  std::uint64_t generation_ = 0;
};

#endif  // ATE_STATION_EVENTLOG_H_
