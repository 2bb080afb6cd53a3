// The platform-independent half of ChildProcess: line splitting and waiting for lines.
#include "host/ChildProcess.h"

ChildProcess::~ChildProcess() {
  // No other thread uses the process any more: wait() and kill() take the lock themselves.
  kill();
  wait(std::chrono::seconds(10));
  closeInput();
  for (std::thread& reader : readers_) {
    if (reader.joinable()) reader.join();
  }
}

void ChildProcess::addBytes(Channel& channel, const char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(channel.mutex);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != '\n') {
      channel.partial.push_back(data[i]);
      continue;
    }
    if (!channel.partial.empty() && channel.partial.back() == '\r') {
      channel.partial.pop_back();
      ++channel.crlf;
    } else {
      ++channel.lf;
    }
    channel.lines.push_back(std::move(channel.partial));
    channel.partial.clear();
  }
  channel.changed.notify_all();
}

void ChildProcess::endStream(Channel& channel) {
  std::lock_guard<std::mutex> lock(channel.mutex);
  if (!channel.partial.empty()) channel.lines.push_back(std::move(channel.partial));
  channel.ended = true;
  channel.changed.notify_all();
}

std::optional<std::string> ChildProcess::readLine(Stream stream,
                                                  std::chrono::milliseconds timeout) {
  Channel& channel = channels_[static_cast<int>(stream)];
  std::unique_lock<std::mutex> lock(channel.mutex);
  channel.changed.wait_for(lock, timeout, [&] { return !channel.lines.empty() || channel.ended; });
  if (channel.lines.empty()) return std::nullopt;
  std::string line = std::move(channel.lines.front());
  channel.lines.pop_front();
  return line;
}

std::vector<std::string> ChildProcess::readRemaining(Stream stream,
                                                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  Channel& channel = channels_[static_cast<int>(stream)];
  std::unique_lock<std::mutex> lock(channel.mutex);
  channel.changed.wait_until(lock, deadline, [&] { return channel.ended; });
  std::vector<std::string> lines(std::make_move_iterator(channel.lines.begin()),
                                 std::make_move_iterator(channel.lines.end()));
  channel.lines.clear();
  return lines;
}

bool ChildProcess::drained(Stream stream) {
  Channel& channel = channels_[static_cast<int>(stream)];
  std::lock_guard<std::mutex> lock(channel.mutex);
  return channel.ended && channel.lines.empty();
}

std::size_t ChildProcess::crlfLines(Stream stream) {
  Channel& channel = channels_[static_cast<int>(stream)];
  std::lock_guard<std::mutex> lock(channel.mutex);
  return channel.crlf;
}

std::size_t ChildProcess::lfLines(Stream stream) {
  Channel& channel = channels_[static_cast<int>(stream)];
  std::lock_guard<std::mutex> lock(channel.mutex);
  return channel.lf;
}
