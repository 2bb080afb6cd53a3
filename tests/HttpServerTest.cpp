// The station's HTTP servers (cpp-httplib where the build has it, and our own over sockets)
// answering alike: requests, refusals, keep-alive, streams and stopping.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "station/http/Http.h"
#include "station/http/Socket.h"
#include "tests/support/HttpClient.h"

namespace {

using namespace std::chrono_literals;
using Make = std::unique_ptr<http::Server> (*)(http::Handler, http::Refusal, http::Limits,
                                               const http::Tls*);

// A server on a free loopback port, serving on a thread of its own, with a handler that says what
// it got, throws on /throw and streams on /stream and /forever.
class Served {
 public:
  explicit Served(Make make)
      : server_(make([this](const http::Request& request,
                            http::Response& response) { handle(request, response); },
                     [](int status, const std::string& message, http::Response& response) {
                       response.status = status;
                       response.setContent("refused: " + message, "text/plain");
                     },
                     http::Limits{64, 4}, nullptr)),
        port_(server_->bind("127.0.0.1", 0)),
        thread_([this] { server_->serve(); }) {}
  ~Served() {
    server_->stop();
    thread_.join();
  }

  int port() const { return port_; }
  http::Server& server() { return *server_; }
  std::atomic<int> streamsEnded{0};

 private:
  void handle(const http::Request& request, http::Response& response) {
    if (request.path == "/throw") throw std::runtime_error("boom");
    if (request.path == "/stream" || request.path == "/forever") {
      auto sent = std::make_shared<int>(0);
      const bool forever = request.path == "/forever";
      response.contentType = "text/event-stream";
      response.stream = [sent, forever](const http::StreamWrite& write) {
        if (!forever && *sent == 3) return false;
        if (forever && *sent > 0) std::this_thread::sleep_for(20ms);
        return write(std::string(1, static_cast<char>('a' + (*sent)++ % 26)));
      };
      response.streamEnded = [this] { ++streamsEnded; };
      return;
    }
    std::string params;
    for (const auto& [name, value] : request.params) params += name + "=" + value + ";";
    response.setHeader("X-Echo", "yes");
    response.setContent(request.method + " " + request.path + " " + params + " " +
                            request.header("x-thing") + " " + request.body,
                        "text/plain");
  }

  std::unique_ptr<http::Server> server_;
  int port_;
  std::thread thread_;
};

// Raw requests on a connection, each sent once the text awaited of the answer before it is in;
// all the answers.
std::string exchange(const http::Socket& socket,
                     const std::vector<std::pair<std::string, std::string>>& exchanges) {
  std::string answer;
  const std::atomic<bool> never{false};
  for (const auto& [request, awaited] : exchanges) {
    EXPECT_TRUE(socket.valid() && socket.sendAll(request));
    const std::size_t from = answer.size();
    while (answer.find(awaited, from) == std::string::npos &&
           socket.receiveSome(answer, 10s, never)) {
    }
  }
  return answer;
}

http::Socket connect(int port) {
  http::Socket socket = http::Socket::connect("127.0.0.1", port);
  if (socket.valid()) socket.setNoDelay();
  return socket;
}

std::string raw(int port, const std::vector<std::pair<std::string, std::string>>& exchanges) {
  return exchange(connect(port), exchanges);
}

std::vector<std::pair<const char*, Make>> servers() {
  std::vector<std::pair<const char*, Make>> made{{"sockets", &http::makeSocketServer}};
#ifndef _WIN32
  made.emplace_back("httplib", &http::makeServer);
#endif
  return made;
}

TEST(HttpServer, BothServersAnswerAlike) {
  for (const auto& [name, make] : servers()) {
    SCOPED_TRACE(name);
    Served served(make);
    ASSERT_GT(served.port(), 0);
    HttpClient client("127.0.0.1", served.port());

    HttpResult result = client.get("/a%20b?x=1&y=two+words%21&x=2&flag", {{"X-Thing", "t"}});
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, "GET /a b flag=;x=1;y=two words!; t ");
    EXPECT_EQ(result.header("x-echo"), "yes");
    EXPECT_EQ(result.header("content-type"), "text/plain");
    result = client.post("/p", {}, "{\"k\":1}");
    EXPECT_EQ(result.body, "POST /p   {\"k\":1}");

    struct Refusal {
      std::string method, path, body;
      int status;
      std::string answer;
    };
    for (const Refusal& refusal : {
             Refusal{"POST", "/p", std::string(65, 'x'), 413,
                     "refused: the request body is too large"},
             Refusal{"GET", "/throw", "", 500, "refused: internal error: boom"},
         }) {
      result = client.send(refusal.method, refusal.path, {}, refusal.body);
      EXPECT_EQ(result.status, refusal.status) << refusal.path;
      EXPECT_EQ(result.body, refusal.answer) << refusal.path;
    }

    // A stream ends when its source does, and says so once.
    std::string streamed;
    EXPECT_EQ(client.stream("/stream",
                            [&](const std::string& piece) {
                              streamed += piece;
                              return true;
                            }),
              200);
    EXPECT_EQ(streamed, "abc");
    for (int i = 0; i < 100 && served.streamsEnded == 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(served.streamsEnded, 1);

    // Two requests on one kept-alive connection.
    const std::string answer =
        raw(served.port(), {{"GET /one HTTP/1.1\r\nHost: x\r\n\r\n", "GET /one"},
                            {"GET /two HTTP/1.1\r\nHost: x\r\n\r\n", "GET /two"}});
    EXPECT_NE(answer.find("GET /one"), std::string::npos) << answer;
    EXPECT_NE(answer.find("GET /two"), std::string::npos) << answer;
    // A POST with neither Content-Length nor Transfer-Encoding (curl -X POST) has an empty body
    // (RFC 9112, 6.3), and the request after it on the connection is a request, not its body.
    const std::string bodiless =
        raw(served.port(), {{"POST /empty HTTP/1.1\r\nHost: x\r\n\r\n", "POST /empty"},
                            {"GET /next HTTP/1.1\r\nHost: x\r\n\r\n", "GET /next"}});
    EXPECT_EQ(bodiless.compare(0, 12, "HTTP/1.1 200"), 0) << bodiless;
    EXPECT_NE(bodiless.find("POST /empty   "), std::string::npos) << bodiless;
    EXPECT_NE(bodiless.find("GET /next   "), std::string::npos) << bodiless;
    EXPECT_EQ(raw(served.port(), {{"NONSENSE\r\n\r\n", "\r\n\r\n"}}).compare(0, 12, "HTTP/1.1 400"),
              0);
  }
}

TEST(HttpServer, ReadsRequestHeadsAndRefusesWhatItCannotServeSafely) {
  struct Case {
    std::string head;
    int status;
    std::string read;  // for a request served: what of it was read
    std::size_t bodySize;
    bool keepAlive;
  };
  const auto served = [](const http::Request& request) {
    std::string read = request.method + " " + request.path + " ";
    for (const auto& [name, value] : request.params) read += name + "=" + value + ";";
    for (const auto& [name, value] : request.headers) read += " " + name + ":" + value;
    return read;
  };
  for (const Case& c : {
           Case{"GET /a%2Fb?x=%41&x=2&y HTTP/1.1\r\nHost: h\r\nX-A:  v w \t", 0,
                "GET /a/b x=A;y=; host:h x-a:v w", 0, true},
           Case{"POST / HTTP/1.0\r\nContent-Length: 64", 0, "POST /  content-length:64", 64, false},
           Case{"POST / HTTP/1.1\r\nHost: h", 0, "POST /  host:h", 0, true},
           Case{"GET / HTTP/1.0\r\nConnection: Keep-Alive", 0, "GET /  connection:Keep-Alive", 0,
                true},
           Case{"GET / HTTP/1.1\r\nConnection: close", 0, "GET /  connection:close", 0, false},
           Case{"GET /", 400, "", 0, false},
           Case{"GET  / HTTP/1.1", 400, "", 0, false},
           Case{"GET http://x/ HTTP/1.1", 400, "", 0, false},
           Case{"GET / HTTP/2.0", 505, "", 0, false},
           Case{"GET / HTTP/1.1\r\n Folded: x", 400, "", 0, false},
           Case{"GET / HTTP/1.1\r\nNoColon", 400, "", 0, false},
           Case{"GET / HTTP/1.1\r\nBad Name: x", 400, "", 0, false},
           Case{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked", 501, "", 0, false},
           Case{"POST / HTTP/1.1\r\nContent-Length: -1", 400, "", 0, false},
           Case{"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999", 400, "", 0, false},
           Case{"POST / HTTP/1.1\r\nContent-Length: 65", 413, "", 65, false},
       }) {
    http::Request request;
    const http::RequestHead head = http::parseRequestHead(c.head, 64, request);
    EXPECT_EQ(head.status, c.status) << c.head;
    EXPECT_EQ(head.bodySize, c.bodySize) << c.head;
    if (c.status == 0) {
      EXPECT_EQ(served(request), c.read) << c.head;
      EXPECT_EQ(head.keepAlive, c.keepAlive) << c.head;
    }
  }
  // A head that never ends is cut off.
  Served sockets(&http::makeSocketServer);
  EXPECT_EQ(raw(sockets.port(), {{"GET / HTTP/1.1\r\nX: " + std::string(20000, 'x'), "\r\n\r\n"}})
                .compare(0, 12, "HTTP/1.1 431"),
            0);
}

TEST(HttpServer, OwnServerMakesRoomByClosingIdleConnections) {
  Served served(&http::makeSocketServer);  // four connections at most
  HttpClient client("127.0.0.1", served.port());
  // Four kept-alive connections, each answered and now waiting: a fifth is served all the same.
  std::vector<http::Socket> kept;
  for (int i = 0; i < 4; ++i) {
    kept.push_back(connect(served.port()));
    exchange(kept.back(), {{"GET /kept HTTP/1.1\r\nHost: x\r\n\r\n", "GET /kept"}});
  }
  EXPECT_EQ(client.get("/fifth").body, "GET /fifth   ");
  kept.clear();

  // Four streams keep every connection busy: a fifth waits a little, then is refused.
  std::vector<std::unique_ptr<HttpClient>> streams;
  std::vector<std::future<int>> streaming;
  std::atomic<int> open{0};
  for (int i = 0; i < 4; ++i) {
    streams.push_back(std::make_unique<HttpClient>("127.0.0.1", served.port()));
    streaming.push_back(std::async(std::launch::async, [&open, &stream = *streams.back()] {
      bool counted = false;
      return stream.stream("/forever", [&](const std::string&) {
        if (!counted) ++open;
        counted = true;
        return true;
      });
    }));
  }
  for (int i = 0; i < 500 && open < 4; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(open, 4);
  const HttpResult refused = client.get("/sixth");
  EXPECT_EQ(refused.status, 503);
  EXPECT_EQ(refused.body, "refused: the station is serving too many connections");
  for (const auto& stream : streams) stream->stop();
}

TEST(HttpServer, StopEndsOpenStreamsAndServing) {
  for (const auto& [name, make] : servers()) {
    SCOPED_TRACE(name);
    auto served = std::make_unique<Served>(make);
    HttpClient client("127.0.0.1", served->port());
    std::promise<void> first;
    std::atomic<bool> started{false};
    auto streaming = std::async(std::launch::async, [&] {
      return client.stream("/forever", [&](const std::string&) {
        if (!started.exchange(true)) first.set_value();
        return true;
      });
    });
    ASSERT_EQ(first.get_future().wait_for(10s), std::future_status::ready);
    auto stopped = std::async(std::launch::async, [&] { served.reset(); });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready) << "the server didn't stop";
    EXPECT_EQ(streaming.wait_for(10s), std::future_status::ready) << "the stream stayed open";
  }
}

}  // namespace
