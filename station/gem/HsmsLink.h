// One HSMS-SS connection to the factory's host (SEMI E37.1): passive (the station listens and
// takes one connection at a time; another is answered "connection exhausted" and closed) or
// active (the station connects, again after T5 whenever it drops). Select, deselect, linktest,
// separate and reject are handled here, with the timers: T3 (a reply to the station's request),
// T5 (between connection attempts), T6 (a control transaction), T7 (connected but not selected)
// and T8 (between the bytes of one message). Data messages go up to the GEM layer.
#ifndef ATE_STATION_GEM_HSMSLINK_H_
#define ATE_STATION_GEM_HSMSLINK_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "station/gem/Hsms.h"
#include "station/http/Socket.h"

struct HsmsOptions {
  bool active = false;
  std::string host = "127.0.0.1";  // passive: where to listen; active: the host's address
  int port = 5000;                 // passive: 0 takes any free port
  std::uint16_t deviceId = 0;
  std::chrono::milliseconds t3{45000}, t5{10000}, t6{5000}, t7{10000}, t8{5000};
  std::chrono::milliseconds linktest{0};  // how often to send Linktest.req; 0: never
  std::size_t maxBody = 4u << 20;         // a longer message gets S9F11
};

// Thread-safe. Events come on the link's own threads.
class HsmsLink {
 public:
  struct Events {
    // A data message that is no reply the station waits for (a primary from the host).
    std::function<void(const hsms::Message&)> onData;
    // The link became selected, or stopped being selected.
    std::function<void(bool selected)> onSelected;
    // A line for the station's log.
    std::function<void(const std::string&)> onNote;
  };
  // A reply to the station's request, or null when T3 expired (S9F9 is sent then).
  using ReplyHandler = std::function<void(const hsms::Message* reply)>;

  HsmsLink(HsmsOptions options, Events events);
  ~HsmsLink();
  HsmsLink(const HsmsLink&) = delete;
  HsmsLink& operator=(const HsmsLink&) = delete;

  // Passive: listens (false with error when it can't); active: starts connecting.
  bool start(std::string& error);
  // Closes the connection and stops; nothing is sent or received after.
  void stop();
  // The port listened on (passive).
  int port() const { return boundPort_; }
  bool selected() const { return selected_; }

  // A primary message to the host; with wait, onReply gets its reply or null after T3. False
  // when the link isn't selected or the send failed.
  bool send(int stream, int function, bool wait, const std::string& body,
            ReplyHandler onReply = {});
  // The reply to a host's primary: the same stream, system bytes and device id.
  bool reply(const hsms::Header& primary, int function, const std::string& body);
  // S9Fn naming a message by its header (MHEAD; SHEAD for S9F9).
  bool sendError(int function, const hsms::Header& about);

  const HsmsOptions& options() const { return options_; }

 private:
  struct Pending {
    std::chrono::steady_clock::time_point deadline;
    hsms::Header request;
    ReplyHandler onReply;
  };

  void acceptLoop();
  void connectLoop();
  // Serves one connection until it ends; active: the station connected, and selects first.
  void serve(http::Socket& socket, bool active);
  // One message from the host; false when the connection is to end.
  bool handle(const hsms::Message& message);
  bool sendRaw(const hsms::Header& header, const std::string& body);
  void expire(std::chrono::steady_clock::time_point now);
  void setSelected(bool selected);
  void note(const std::string& text) const;
  std::uint32_t nextSystem();
  void pause(std::chrono::milliseconds wait) const;

  const HsmsOptions options_;
  const Events events_;
  int boundPort_ = 0;
  http::Socket listener_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> selected_{false};
  std::atomic<std::uint32_t> system_{1};
  std::thread thread_;

  std::mutex mutex_;  // guards socket_ (senders keep their message whole) and pending_
  http::Socket* socket_ = nullptr;
  std::map<std::uint32_t, Pending> pending_;  // the station's open requests, by system bytes
  // Control requests the station sent (Select in active mode, Linktest): their T6 deadline.
  std::map<std::uint32_t, std::chrono::steady_clock::time_point> control_;
};

#endif  // ATE_STATION_GEM_HSMSLINK_H_
