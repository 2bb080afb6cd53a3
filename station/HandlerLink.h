// The station's connection to its handler (or prober): the handler listens, the station
// connects, says HELLO, and reconnects with a growing pause whenever the connection drops. Lines
// from the handler go to a callback on the link's own thread; lines to it can be sent from any
// thread.
#ifndef ATE_STATION_HANDLERLINK_H_
#define ATE_STATION_HANDLERLINK_H_

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "station/http/Socket.h"

struct HandlerLinkOptions {
  std::string host;
  int port = 0;
  std::string version;  // said in HELLO
  // The pause before the first reconnect; it doubles with each failed attempt up to maxPause.
  std::chrono::milliseconds firstPause{200};
  std::chrono::milliseconds maxPause{5000};
};

class HandlerLink {
 public:
  struct Events {
    // A whole line from the handler (overlong: only its first bytes, and overlong set).
    std::function<void(const std::string& line, bool overlong)> onLine;
    // The connection came up (after HELLO was sent) or went down; what to show about it.
    std::function<void(bool connected, const std::string& what)> onConnection;
  };

  HandlerLink(HandlerLinkOptions options, Events events);
  // Stops the link's thread and closes the connection.
  ~HandlerLink();
  HandlerLink(const HandlerLink&) = delete;
  HandlerLink& operator=(const HandlerLink&) = delete;

  // Starts connecting, on the link's thread.
  void start();

  // Sends line and its line feed; false when there is no connection or the send failed (the
  // connection is then closed and comes back by itself).
  bool send(const std::string& line);
  bool connected() const { return connected_; }

  // "host:port", for messages.
  std::string address() const;

 private:
  void loop();
  void serve(http::Socket& socket);

  const HandlerLinkOptions options_;
  const Events events_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> connected_{false};
  std::mutex sendMutex_;  // guards socket_ for senders, and keeps their lines whole
  http::Socket* socket_ = nullptr;
  std::thread thread_;
};

#endif  // ATE_STATION_HANDLERLINK_H_
