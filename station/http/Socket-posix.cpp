// Sockets on POSIX: descriptors, poll(), and MSG_NOSIGNAL so that a peer that has gone is an
// error rather than SIGPIPE.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "station/http/Socket.h"

namespace http {

namespace {

int fd(Socket::Native native) { return static_cast<int>(native); }

// Both ends of a connection: socket() and the address it goes to or listens on, tried in turn.
template <typename Use>
Socket::Native openFor(const std::string& host, int port, bool passive, Use use) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  Socket::Native result = -1;
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const int native = ::socket(at->ai_family, at->ai_socktype, at->ai_protocol);
    if (native < 0) continue;
    if (use(native, at)) {
      result = native;
      break;
    }
    ::close(native);
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace

void Socket::closeNative(Native native) { ::close(fd(native)); }

Socket Socket::listen(const std::string& host, int port, int& boundPort, std::string& error) {
  const Native native = openFor(host, port, true, [](int candidate, const addrinfo* address) {
    const int on = 1;
    setsockopt(candidate, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return ::bind(candidate, address->ai_addr, address->ai_addrlen) == 0 &&
           ::listen(candidate, 64) == 0;
  });
  Socket socket(native);
  if (!socket.valid()) {
    error = "cannot listen on " + host + ":" + std::to_string(port);
    return socket;
  }
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  getsockname(fd(native), reinterpret_cast<sockaddr*>(&address), &size);
  boundPort = ntohs(address.ss_family == AF_INET6
                        ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                        : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return socket;
}

Socket Socket::connect(const std::string& host, int port) {
  return Socket(openFor(host, port, false, [](int candidate, const addrinfo* address) {
    return ::connect(candidate, address->ai_addr, address->ai_addrlen) == 0;
  }));
}

Socket Socket::accept() const { return Socket(::accept(fd(native_), nullptr, nullptr)); }

bool Socket::waitReadable(std::chrono::milliseconds timeout) const {
  pollfd poll{fd(native_), POLLIN, 0};
  return ::poll(&poll, 1, static_cast<int>(timeout.count())) > 0;
}

long Socket::receive(char* data, std::size_t size) const {
  return static_cast<long>(::recv(fd(native_), data, size, 0));
}

bool Socket::sendAll(const std::string& text) const {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t count = ::send(fd(native_), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

void Socket::setSendTimeout(std::chrono::milliseconds timeout) const {
  const timeval wait{static_cast<time_t>(timeout.count() / 1000),
                     static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd(native_), SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
}

void Socket::setNoDelay() const {
  const int on = 1;
  setsockopt(fd(native_), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void Socket::shutdown() const { ::shutdown(fd(native_), SHUT_RDWR); }

std::string Socket::peerAddress() const {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getpeername(fd(native_), reinterpret_cast<sockaddr*>(&address), &size) != 0) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const void* bytes =
      address.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&address)->sin_addr);
  if (::inet_ntop(address.ss_family, bytes, text, sizeof text) == nullptr) return "";
  return text;
}

}  // namespace http
