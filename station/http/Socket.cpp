#include "station/http/Socket.h"

#include <algorithm>

#include <cstring>
#include <mutex>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

namespace http {

namespace {

#ifdef _WIN32
using Length = int;
constexpr int SEND_FLAGS = 0;

// Winsock is started once, on first use, and left running for the life of the process.
bool startNetwork() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    WSADATA data;
    started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
  });
  return started;
}
void closeNative(Socket::Native native) { closesocket(static_cast<SOCKET>(native)); }
#else
using Length = std::size_t;
constexpr int SEND_FLAGS = MSG_NOSIGNAL;  // a peer that has gone is an error, not a signal
bool startNetwork() { return true; }
void closeNative(Socket::Native native) { ::close(native); }
#endif

// Both ends of a connection: socket() and the address it goes to or listens on, tried in turn.
template <typename Use>
Socket::Native openFor(const std::string& host, int port, bool passive, Use use) {
  if (!startNetwork()) return static_cast<Socket::Native>(-1);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return static_cast<Socket::Native>(-1);
  }
  Socket::Native result = static_cast<Socket::Native>(-1);
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const auto native =
        static_cast<Socket::Native>(::socket(at->ai_family, at->ai_socktype, at->ai_protocol));
    if (native == static_cast<Socket::Native>(-1)) continue;
    if (use(native, at)) {
      result = native;
      break;
    }
    closeNative(native);
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    native_ = other.release();
  }
  return *this;
}

Socket Socket::listen(const std::string& host, int port, int& boundPort, std::string& error) {
  const Native native = openFor(host, port, true, [](Native candidate, const addrinfo* address) {
    const int on = 1;
#ifdef _WIN32
    // Windows' SO_REUSEADDR would let another program take the port from under us.
    setsockopt(static_cast<SOCKET>(candidate), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
               reinterpret_cast<const char*>(&on), sizeof on);
#else
    setsockopt(candidate, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    return ::bind(candidate, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0 &&
           ::listen(candidate, 64) == 0;
  });
  Socket socket(native);
  if (!socket.valid()) {
    error = "cannot listen on " + host + ":" + std::to_string(port);
    return socket;
  }
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  getsockname(native, reinterpret_cast<sockaddr*>(&address), &size);
  boundPort = ntohs(address.ss_family == AF_INET6
                        ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                        : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return socket;
}

Socket Socket::connect(const std::string& host, int port) {
  return Socket(openFor(host, port, false, [](Native candidate, const addrinfo* address) {
    return ::connect(candidate, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0;
  }));
}

Socket Socket::accept() const {
  return Socket(static_cast<Native>(::accept(native_, nullptr, nullptr)));
}

bool Socket::waitReadable(std::chrono::milliseconds timeout) const {
#ifdef _WIN32
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(static_cast<SOCKET>(native_), &readable);
  timeval wait{static_cast<long>(timeout.count() / 1000),
               static_cast<long>(timeout.count() % 1000 * 1000)};
  return select(0, &readable, nullptr, nullptr, &wait) > 0;
#else
  pollfd poll{native_, POLLIN, 0};
  return ::poll(&poll, 1, static_cast<int>(timeout.count())) > 0;
#endif
}

long Socket::receive(char* data, std::size_t size) const {
  return static_cast<long>(::recv(native_, data, static_cast<Length>(size), 0));
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

bool Socket::sendAll(const std::string& text) const {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const auto count =
        ::send(native_, text.data() + sent, static_cast<Length>(text.size() - sent), SEND_FLAGS);
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

void Socket::setSendTimeout(std::chrono::milliseconds timeout) const {
#ifdef _WIN32
  const DWORD wait = static_cast<DWORD>(timeout.count());
  setsockopt(static_cast<SOCKET>(native_), SOL_SOCKET, SO_SNDTIMEO,
             reinterpret_cast<const char*>(&wait), sizeof wait);
#else
  const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(native_, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
#endif
}

void Socket::shutdown() const {
#ifdef _WIN32
  ::shutdown(static_cast<SOCKET>(native_), SD_BOTH);
#else
  ::shutdown(native_, SHUT_RDWR);
#endif
}

void Socket::close() {
  if (valid()) closeNative(release());
}

}  // namespace http
