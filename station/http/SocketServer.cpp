// The station's HTTP server over plain sockets: HTTP/1.1 with keep-alive, one thread per
// connection up to a limit, bodies by Content-Length, and streamed responses that end with the
// connection; over the platform's TLS when given a certificate and key.
#include <atomic>
#include <list>
#include <mutex>
#include <thread>

#include "station/http/Channel.h"
#include "station/http/Http.h"
#include "station/http/Socket.h"

namespace http {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t MAX_HEAD = 16384;         // request line and headers, bytes
constexpr std::size_t MAX_DISCARDED = 1 << 20;  // a refused body read and dropped, bytes
constexpr int MAX_REQUESTS = 100;               // on one connection
constexpr auto FIRST_REQUEST_WAIT = 10s;        // for a new connection's first request
constexpr auto IDLE_WAIT = 5s;                  // for the next request on a kept-alive one
constexpr auto SEND_WAIT = 30s;                 // for a peer that doesn't read
constexpr auto ROOM_WAIT = 2s;                  // for a connection to end when all are busy
constexpr auto POLL_SLICE = 250ms;              // how often accepting looks at stopping

class SocketServer final : public Server {
 public:
  SocketServer(Handler handler, Refusal refusal, Limits limits,
               std::unique_ptr<TlsServerContext> tls)
      : handler_(std::move(handler)),
        refusal_(std::move(refusal)),
        limits_(limits),
        tls_(std::move(tls)) {}
  ~SocketServer() override { stop(); }

  int bind(const std::string& host, int port) override {
    int bound = -1;
    std::string error;
    listener_ = Socket::listen(host, port, bound, error);
    return listener_.valid() ? bound : -1;
  }

  void serve() override {
    while (!stopping_) {
      reap(false);
      if (!listener_.waitReadable(POLL_SLICE)) continue;
      Socket client = listener_.accept();
      if (!client.valid()) continue;
      // Each answer goes out in two writes (head, then body) that must not wait for each other.
      client.setNoDelay();
      const bool room = makeRoom();
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      if (!room) {
        // (over TLS there is no way to say so short of a handshake: the connection just closes)
        if (tls_) continue;
        Response response;
        refusal_(503, "the station is serving too many connections", response);
        client.setSendTimeout(1s);
        client.sendAll(head(response, false, response.body.size()) + response.body);
        continue;
      }
      auto worker = std::make_unique<Worker>();
      worker->socket = std::move(client);
      worker->channel =
          tls_ ? tls_->channel(worker->socket) : std::make_unique<PlainChannel>(worker->socket);
      Worker& started = *worker;
      workers_.push_back(std::move(worker));
      started.thread = std::thread([this, &started] {
        serveConnection(started);
        started.done = true;
      });
    }
    reap(true);
    listener_.close();
  }

  void stop() override {
    stopping_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& worker : workers_) {
      worker->leave = true;
      worker->socket.shutdown();
    }
  }

 private:
  struct Worker {
    Socket socket;
    std::unique_ptr<Channel> channel;  // over socket
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> idle{false};   // kept alive, waiting for a next request that hasn't begun
    std::atomic<bool> leave{false};  // set to end the connection at its next wait
  };

  // Whether a new connection can be served: at the limit, a kept-alive connection that waits for
  // nothing is closed to make room (its peer opens another when it needs one); when every
  // connection is busy, one may end within a short wait.
  bool makeRoom() {
    for (const auto deadline = std::chrono::steady_clock::now() + ROOM_WAIT;;) {
      reap(false);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_.size() < limits_.maxConnections) return true;
        for (const auto& worker : workers_) {
          if (worker->idle) {
            worker->leave = true;
            worker->socket.shutdown();
            break;
          }
        }
      }
      if (stopping_ || std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(20ms);
    }
  }

  // Joins the connections that have ended; with all, every one, after waking them.
  void reap(bool all) {
    std::list<std::unique_ptr<Worker>> ended;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto at = workers_.begin(); at != workers_.end();) {
        if (all) {
          (*at)->leave = true;
          (*at)->socket.shutdown();
        }
        if (all || (*at)->done) {
          ended.splice(ended.end(), workers_, at++);
        } else {
          ++at;
        }
      }
    }
    for (const auto& worker : ended) worker->thread.join();
  }

  static std::string head(const Response& response, bool keepAlive, std::size_t length) {
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " +
                       reasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) text += name + ": " + value + "\r\n";
    if (!response.contentType.empty()) text += "Content-Type: " + response.contentType + "\r\n";
    if (!response.stream) text += "Content-Length: " + std::to_string(length) + "\r\n";
    text += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    return text;
  }

  void serveConnection(Worker& worker) {
    worker.socket.setSendTimeout(SEND_WAIT);
    Channel& channel = *worker.channel;
    if (!channel.open(FIRST_REQUEST_WAIT, worker.leave)) return;
    serveRequests(worker);
    channel.close();
  }

  void serveRequests(Worker& worker) {
    Channel& socket = *worker.channel;
    const std::string peer = worker.socket.peerAddress();
    std::string buffer;
    for (int served = 0; served < MAX_REQUESTS && !worker.leave; ++served) {
      std::size_t headEnd;
      while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > MAX_HEAD) {
          refuse(socket, 431, "the request's head is too large", 0);
          return;
        }
        worker.idle = served > 0 && buffer.empty();
        const bool received =
            socket.receiveSome(buffer, served == 0 ? FIRST_REQUEST_WAIT : IDLE_WAIT, worker.leave);
        worker.idle = false;
        if (!received) return;
      }
      if (headEnd > MAX_HEAD) {
        refuse(socket, 431, "the request's head is too large", 0);
        return;
      }
      Request request;
      request.remoteAddress = peer;
      const RequestHead parsed =
          parseRequestHead(buffer.substr(0, headEnd), limits_.maxBody, request);
      if (parsed.status != 0) {
        const std::size_t buffered = buffer.size() - headEnd - 4;
        refuse(socket, parsed.status, parsed.message,
               parsed.bodySize > buffered ? parsed.bodySize - buffered : 0);
        return;
      }
      const std::size_t bodySize = parsed.bodySize;
      const bool keepAlive = parsed.keepAlive;
      buffer.erase(0, headEnd + 4);
      while (buffer.size() < bodySize) {
        if (!socket.receiveSome(buffer, FIRST_REQUEST_WAIT, worker.leave)) return;
      }
      request.body = buffer.substr(0, bodySize);
      buffer.erase(0, bodySize);

      Response response;
      try {
        handler_(request, response);
      } catch (const std::exception& error) {
        response = Response();
        refusal_(500, std::string("internal error: ") + error.what(), response);
      }
      if (response.stream) {
        stream(worker, response);
        return;
      }
      if (!socket.sendAll(head(response, keepAlive, response.body.size()) + response.body) ||
          !keepAlive) {
        return;
      }
    }
  }

  // Sends a streamed response until its source or the peer ends it; the connection ends with it.
  void stream(const Worker& worker, Response& response) {
    Channel& socket = *worker.channel;
    bool open = socket.sendAll(head(response, false, 0));
    const StreamWrite write = [&](const std::string& text) {
      open = open && (text.empty() || socket.sendAll(text));
      return open;
    };
    while (open && !worker.leave && response.stream(write)) {
    }
    if (response.streamEnded) response.streamEnded();
  }

  // Answers a request refused before its handler, then drops what is left of its body so that
  // the peer reads the answer rather than a reset connection.
  void refuse(Channel& socket, int status, const std::string& message,
              std::size_t unreadBody) const {
    Response response;
    refusal_(status, message, response);
    if (!socket.sendAll(head(response, false, response.body.size()) + response.body)) return;
    std::string discarded;
    while (unreadBody > 0 && unreadBody <= MAX_DISCARDED) {
      discarded.clear();
      if (!socket.receiveSome(discarded, 2s, stopping_)) break;
      unreadBody -= std::min(unreadBody, discarded.size());
    }
  }

  const Handler handler_;
  const Refusal refusal_;
  const Limits limits_;
  const std::unique_ptr<TlsServerContext> tls_;  // null: plain HTTP
  Socket listener_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // guards workers_
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace

namespace {

// A server that can't serve, and says why.
class Unavailable final : public Server {
 public:
  explicit Unavailable(std::string why) : why_(std::move(why)) {}
  int bind(const std::string&, int) override { return -1; }
  void serve() override {}
  void stop() override {}
  std::string problem() const override { return why_; }

 private:
  std::string why_;
};

}  // namespace

std::unique_ptr<Server> makeSocketServer(Handler handler, Refusal refusal, Limits limits,
                                         const Tls* tls) {
  std::unique_ptr<TlsServerContext> context;
  if (tls != nullptr) {
    std::string error;
    context = makeTlsServerContext(*tls, error);
    if (!context) return std::make_unique<Unavailable>(error);
  }
  return std::make_unique<SocketServer>(std::move(handler), std::move(refusal), limits,
                                        std::move(context));
}

}  // namespace http
