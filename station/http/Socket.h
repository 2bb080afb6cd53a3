// A TCP socket, the same on POSIX and Winsock: just what the station's HTTP server and the tests'
// client need.
#ifndef ATE_STATION_HTTP_SOCKET_H_
#define ATE_STATION_HTTP_SOCKET_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace http {

class Socket {
 public:
  // A descriptor (POSIX) or a SOCKET (Winsock), in an integer wide enough for either; -1 is the
  // invalid one of both (INVALID_SOCKET is ~0).
  using Native = std::intptr_t;

  Socket() = default;
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : native_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // A socket listening on host:port (port 0: any free one); invalid with error set on failure.
  static Socket listen(const std::string& host, int port, int& boundPort, std::string& error);
  // A socket connected to host:port; invalid on failure.
  static Socket connect(const std::string& host, int port);

  bool valid() const { return native_ != INVALID; }
  // The next connection on a listening socket; invalid when there is none or on failure.
  Socket accept() const;
  // Whether data (or a connection, or the end) waits within timeout.
  bool waitReadable(std::chrono::milliseconds timeout) const;
  // Up to size bytes: how many, 0 at the end of the stream, -1 on failure.
  long receive(char* data, std::size_t size) const;
  // What comes within wait, appended to buffer; false at the end of the stream, on failure, on
  // time, or once stopping is set (looked at every 100 ms).
  bool receiveSome(std::string& buffer, std::chrono::steady_clock::duration wait,
                   const std::atomic<bool>& stopping) const;
  // All of text, or false.
  bool sendAll(const std::string& text) const;
  // A send that waits longer than this fails, so a peer that stops reading can't hold a thread.
  void setSendTimeout(std::chrono::milliseconds timeout) const;
  // Sends each write at once instead of holding a small one back until the peer acknowledges the
  // last (Nagle's algorithm), which with the peer's delayed acknowledgement costs tens of
  // milliseconds per exchange on a kept-alive connection.
  void setNoDelay() const;
  // The peer's address as text ("127.0.0.1", "::1"); empty when it can't be told.
  std::string peerAddress() const;
  // Ends both directions; a thread blocked on this socket wakes up. The socket stays open.
  void shutdown() const;
  void close();

 private:
  explicit Socket(Native native) : native_(native) {}
  static void closeNative(Native native);
  Native release() {
    const Native native = native_;
    native_ = INVALID;
    return native;
  }

  static constexpr Native INVALID = -1;
  Native native_ = INVALID;
};

}  // namespace http

#endif  // ATE_STATION_HTTP_SOCKET_H_
