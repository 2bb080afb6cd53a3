// Sockets on Winsock: SOCKETs, select(), and Winsock started once on first use.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "station/http/Socket.h"

namespace http {

namespace {

SOCKET handle(Socket::Native native) { return static_cast<SOCKET>(native); }

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

// Both ends of a connection: socket() and the address it goes to or listens on, tried in turn.
template <typename Use>
Socket::Native openFor(const std::string& host, int port, bool passive, Use use) {
  if (!startNetwork()) return -1;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = passive ? AI_PASSIVE : 0;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  Socket::Native result = -1;
  for (addrinfo* at = found; at != nullptr; at = at->ai_next) {
    const SOCKET native = ::socket(at->ai_family, at->ai_socktype, at->ai_protocol);
    if (native == INVALID_SOCKET) continue;
    if (use(native, at)) {
      result = static_cast<Socket::Native>(native);
      break;
    }
    closesocket(native);
  }
  freeaddrinfo(found);
  return result;
}

}  // namespace

void Socket::closeNative(Native native) { closesocket(handle(native)); }

Socket Socket::listen(const std::string& host, int port, int& boundPort, std::string& error) {
  const Native native = openFor(host, port, true, [](SOCKET candidate, const addrinfo* address) {
    // Windows' SO_REUSEADDR would let another program take the port from under us.
    const BOOL on = TRUE;
    setsockopt(candidate, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
               sizeof on);
    return ::bind(candidate, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0 &&
           ::listen(candidate, 64) == 0;
  });
  Socket socket(native);
  if (!socket.valid()) {
    error = "cannot listen on " + host + ":" + std::to_string(port);
    return socket;
  }
  sockaddr_storage address{};
  int size = sizeof address;
  getsockname(handle(native), reinterpret_cast<sockaddr*>(&address), &size);
  boundPort = ntohs(address.ss_family == AF_INET6
                        ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                        : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return socket;
}

Socket Socket::connect(const std::string& host, int port) {
  return Socket(openFor(host, port, false, [](SOCKET candidate, const addrinfo* address) {
    return ::connect(candidate, address->ai_addr, static_cast<int>(address->ai_addrlen)) == 0;
  }));
}

Socket Socket::accept() const {
  const SOCKET accepted = ::accept(handle(native_), nullptr, nullptr);
  return Socket(accepted == INVALID_SOCKET ? INVALID : static_cast<Native>(accepted));
}

bool Socket::waitReadable(std::chrono::milliseconds timeout) const {
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(handle(native_), &readable);
  timeval wait{static_cast<long>(timeout.count() / 1000),
               static_cast<long>(timeout.count() % 1000 * 1000)};
  return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

long Socket::receive(char* data, std::size_t size) const {
  return static_cast<long>(::recv(handle(native_), data, static_cast<int>(size), 0));
}

bool Socket::sendAll(const std::string& text) const {
  std::size_t sent = 0;
  while (sent < text.size()) {
    const int count =
        ::send(handle(native_), text.data() + sent, static_cast<int>(text.size() - sent), 0);
    if (count <= 0) return false;
    sent += static_cast<std::size_t>(count);
  }
  return true;
}

void Socket::setSendTimeout(std::chrono::milliseconds timeout) const {
  const DWORD wait = static_cast<DWORD>(timeout.count());
  setsockopt(handle(native_), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&wait),
             sizeof wait);
}

void Socket::setNoDelay() const {
  const BOOL on = TRUE;
  setsockopt(handle(native_), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
             sizeof on);
}

void Socket::shutdown() const { ::shutdown(handle(native_), SD_BOTH); }

std::string Socket::peerAddress() const {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getpeername(handle(native_), reinterpret_cast<sockaddr*>(&address), &size) != 0) return "";
  char text[INET6_ADDRSTRLEN] = "";
  const void* bytes =
      address.ss_family == AF_INET6
          ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(&address)->sin6_addr)
          : static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(&address)->sin_addr);
  if (::inet_ntop(address.ss_family, bytes, text, sizeof text) == nullptr) return "";
  return text;
}

}  // namespace http
