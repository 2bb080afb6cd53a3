// What a connection of our own server carries its bytes through: the socket itself, or TLS over
// it (the platform's own: SChannel on Windows). For SocketServer.cpp.
#ifndef ATE_STATION_HTTP_CHANNEL_H_
#define ATE_STATION_HTTP_CHANNEL_H_

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "station/http/Http.h"
#include "station/http/Socket.h"

namespace http {

// One connection's way in and out; used by one thread at a time. The socket outlives it.
class Channel {
 public:
  virtual ~Channel() = default;
  // Whatever must happen before the first request (TLS's handshake); false when the connection
  // can't be served.
  virtual bool open(std::chrono::steady_clock::duration wait,
                    const std::atomic<bool>& stopping) = 0;
  // As Socket::receiveSome: what comes within wait (as the peer meant it), appended to buffer.
  virtual bool receiveSome(std::string& buffer, std::chrono::steady_clock::duration wait,
                           const std::atomic<bool>& stopping) = 0;
  // All of text, or false.
  virtual bool sendAll(const std::string& text) = 0;
  // Says goodbye before the socket closes (TLS's close_notify).
  virtual void close() {}
};

// The socket as it is.
class PlainChannel final : public Channel {
 public:
  explicit PlainChannel(const Socket& socket) : socket_(socket) {}
  bool open(std::chrono::steady_clock::duration, const std::atomic<bool>&) override { return true; }
  bool receiveSome(std::string& buffer, std::chrono::steady_clock::duration wait,
                   const std::atomic<bool>& stopping) override {
    return socket_.receiveSome(buffer, wait, stopping);
  }
  bool sendAll(const std::string& text) override { return socket_.sendAll(text); }

 private:
  const Socket& socket_;
};

// The server's side of TLS: its certificate and key, loaded once, and a channel per connection.
class TlsServerContext {
 public:
  virtual ~TlsServerContext() = default;
  virtual std::unique_ptr<Channel> channel(const Socket& socket) = 0;
};

// The context for tls's files, or null with error saying why (a file that can't be read, a key
// of a kind the platform's TLS doesn't take, a build without TLS of its own).
std::unique_ptr<TlsServerContext> makeTlsServerContext(const Tls& tls, std::string& error);

}  // namespace http

#endif  // ATE_STATION_HTTP_CHANNEL_H_
