// The station's HTTP server over plain sockets: HTTP/1.1 with keep-alive, one thread per
// connection up to a limit, bodies by Content-Length, and streamed responses that end with the
// connection.
#include <atomic>
#include <list>
#include <mutex>
#include <thread>

#include "Http.h"
#include "Socket.h"

namespace http {

namespace {

using namespace std::chrono_literals;

constexpr std::size_t MAX_HEAD = 16384;         // request line and headers, bytes
constexpr std::size_t MAX_DISCARDED = 1 << 20;  // a refused body read and dropped, bytes
constexpr int MAX_REQUESTS = 100;               // on one connection
constexpr auto FIRST_REQUEST_WAIT = 10s;        // for a new connection's first request
constexpr auto IDLE_WAIT = 5s;                  // for the next request on a kept-alive one
constexpr auto SEND_WAIT = 30s;                 // for a peer that doesn't read
constexpr auto POLL_SLICE = 250ms;              // how often a wait looks at stopping

// A request the server answers itself, before any handler.
struct Refused {
  int status;
  std::string message;
};

std::string trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

class SocketServer final : public Server {
 public:
  SocketServer(Handler handler, Refusal refusal, Limits limits)
      : handler_(std::move(handler)), refusal_(std::move(refusal)), limits_(limits) {}
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
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) break;
      if (workers_.size() >= limits_.maxConnections) {
        Response response;
        refusal_(503, "the station is serving too many connections", response);
        client.setSendTimeout(1s);
        client.sendAll(head(response, false, response.body.size()) + response.body);
        continue;
      }
      auto worker = std::make_unique<Worker>();
      worker->socket = std::move(client);
      Worker& started = *worker;
      workers_.push_back(std::move(worker));
      started.thread = std::thread([this, &started] {
        serveConnection(started.socket);
        started.done = true;
      });
    }
    reap(true);
    listener_.close();
  }

  void stop() override {
    stopping_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& worker : workers_) worker->socket.shutdown();
  }

 private:
  struct Worker {
    Socket socket;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  // Joins the connections that have ended; with all, every one, after waking them.
  void reap(bool all) {
    std::list<std::unique_ptr<Worker>> ended;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (auto at = workers_.begin(); at != workers_.end();) {
        if (all) (*at)->socket.shutdown();
        if (all || (*at)->done) {
          ended.splice(ended.end(), workers_, at++);
        } else {
          ++at;
        }
      }
    }
    for (const auto& worker : ended) worker->thread.join();
  }

  // Reads more of the connection into buffer, waiting up to wait; false at its end or on time.
  bool receiveMore(const Socket& socket, std::string& buffer,
                   std::chrono::steady_clock::duration wait) const {
    for (const auto deadline = std::chrono::steady_clock::now() + wait;
         !socket.waitReadable(POLL_SLICE);) {
      if (stopping_ || std::chrono::steady_clock::now() >= deadline) return false;
    }
    char chunk[8192];
    const long count = socket.receive(chunk, sizeof chunk);
    if (count <= 0) return false;
    buffer.append(chunk, static_cast<std::size_t>(count));
    return true;
  }

  // Parses the head in text (without its blank line) into request; what the body needs is set.
  bool parseHead(const std::string& text, Request& request, std::size_t& bodySize, bool& keepAlive,
                 Refused& refused) const {
    std::size_t lineEnd = text.find("\r\n");
    const std::string line = text.substr(0, lineEnd);
    const std::size_t space1 = line.find(' ');
    const std::size_t space2 = line.find(' ', space1 + 1);
    if (space1 == std::string::npos || space2 == std::string::npos || space1 == 0 ||
        line.find(' ', space2 + 1) != std::string::npos || line[space1 + 1] != '/') {
      refused = {400, "the request line is malformed"};
      return false;
    }
    request.method = line.substr(0, space1);
    const std::string target = line.substr(space1 + 1, space2 - space1 - 1);
    const std::string version = line.substr(space2 + 1);
    if (version != "HTTP/1.1" && version != "HTTP/1.0") {
      refused = {505, "only HTTP/1.0 and HTTP/1.1 are served"};
      return false;
    }
    const std::size_t question = target.find('?');
    request.path = decode(target.substr(0, question), false);
    if (question != std::string::npos) request.params = parseQuery(target.substr(question + 1));

    while (lineEnd != std::string::npos) {
      const std::size_t start = lineEnd + 2;
      lineEnd = text.find("\r\n", start);
      const std::string field = text.substr(start, lineEnd - start);
      const std::size_t colon = field.find(':');
      if (colon == std::string::npos || colon == 0 || field[0] == ' ' || field[0] == '\t' ||
          field.find_first_of(" \t") < colon) {
        refused = {400, "a header line is malformed"};
        return false;
      }
      request.headers.emplace(lowerCase(field.substr(0, colon)), trim(field.substr(colon + 1)));
    }

    const std::string connection = lowerCase(request.header("Connection"));
    keepAlive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                      : connection.find("keep-alive") != std::string::npos;
    if (!request.header("Transfer-Encoding").empty()) {
      refused = {501, "a request body must come with its Content-Length"};
      return false;
    }
    const std::string length = request.header("Content-Length");
    bodySize = 0;
    if (!length.empty()) {
      if (length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
        refused = {400, "the Content-Length is not a number"};
        return false;
      }
      bodySize = std::stoull(length);
      if (bodySize > limits_.maxBody) {
        refused = {413, "the request body is too large"};
        return false;
      }
    }
    return true;
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

  void serveConnection(const Socket& socket) {
    socket.setSendTimeout(SEND_WAIT);
    std::string buffer;
    for (int served = 0; served < MAX_REQUESTS && !stopping_; ++served) {
      std::size_t headEnd;
      while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > MAX_HEAD) {
          refuse(socket, {431, "the request's head is too large"}, 0);
          return;
        }
        if (!receiveMore(socket, buffer, served == 0 ? FIRST_REQUEST_WAIT : IDLE_WAIT)) return;
      }
      if (headEnd > MAX_HEAD) {
        refuse(socket, {431, "the request's head is too large"}, 0);
        return;
      }
      Request request;
      std::size_t bodySize = 0;
      bool keepAlive = false;
      Refused refused{};
      if (!parseHead(buffer.substr(0, headEnd), request, bodySize, keepAlive, refused)) {
        const std::size_t buffered = buffer.size() - headEnd - 4;
        const std::size_t announced =
            refused.status == 413 ? std::stoull(request.header("Content-Length")) : 0;
        refuse(socket, refused, announced > buffered ? announced - buffered : 0);
        return;
      }
      buffer.erase(0, headEnd + 4);
      while (buffer.size() < bodySize) {
        if (!receiveMore(socket, buffer, FIRST_REQUEST_WAIT)) return;
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
        stream(socket, response);
        return;
      }
      if (!socket.sendAll(head(response, keepAlive, response.body.size()) + response.body) ||
          !keepAlive) {
        return;
      }
    }
  }

  // Sends a streamed response until its source or the peer ends it; the connection ends with it.
  void stream(const Socket& socket, Response& response) {
    bool open = socket.sendAll(head(response, false, 0));
    const StreamWrite write = [&](const std::string& text) {
      open = open && (text.empty() || socket.sendAll(text));
      return open;
    };
    while (open && !stopping_ && response.stream(write)) {
    }
    if (response.streamEnded) response.streamEnded();
  }

  // Answers a request refused before its handler, then drops what is left of its body so that
  // the peer reads the answer rather than a reset connection.
  void refuse(const Socket& socket, const Refused& refused, std::size_t unreadBody) const {
    Response response;
    refusal_(refused.status, refused.message, response);
    if (!socket.sendAll(head(response, false, response.body.size()) + response.body)) return;
    std::string discarded;
    while (unreadBody > 0 && unreadBody <= MAX_DISCARDED) {
      discarded.clear();
      if (!receiveMore(socket, discarded, 2s)) break;
      unreadBody -= std::min(unreadBody, discarded.size());
    }
  }

  const Handler handler_;
  const Refusal refusal_;
  const Limits limits_;
  Socket listener_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;  // guards workers_
  std::list<std::unique_ptr<Worker>> workers_;
};

}  // namespace

std::unique_ptr<Server> makeSocketServer(Handler handler, Refusal refusal, Limits limits) {
  return std::make_unique<SocketServer>(std::move(handler), std::move(refusal), limits);
}

}  // namespace http
