// What a socket does the same way everywhere; the calls into the system are in Socket-posix.cpp
// and Socket-win32.cpp.
#include "station/http/Socket.h"

#include <algorithm>

namespace http {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    native_ = other.release();
  }
  return *this;
}

bool Socket::receiveSome(std::string& buffer, std::chrono::steady_clock::duration wait,
                         const std::atomic<bool>& stopping) const {
  // In slices of at most 100 ms, so that stopping is seen soon, and never past the deadline.
  using std::chrono::milliseconds;
  for (const auto deadline = std::chrono::steady_clock::now() + wait;;) {
    const auto left = std::chrono::ceil<milliseconds>(deadline - std::chrono::steady_clock::now());
    if (waitReadable(std::clamp(left, milliseconds(0), milliseconds(100)))) break;
    if (stopping || std::chrono::steady_clock::now() >= deadline) return false;
  }
  char chunk[8192];
  const long count = receive(chunk, sizeof chunk);
  if (count <= 0) return false;
  buffer.append(chunk, static_cast<std::size_t>(count));
  return true;
}

void Socket::close() {
  if (valid()) closeNative(release());
}

}  // namespace http
