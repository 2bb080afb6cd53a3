// The station's HTTP servers (our own over sockets, and cpp-httplib where the build has it):
// requests per second on a small JSON route, on one kept-alive connection and with a new
// connection per request; with cpp-httplib, kept-alive requests over TLS too (an OpenSSL client,
// a certificate made by OpenSSL's command line). Wall time: what is measured is mostly waiting on
// the other side.
#include <benchmark/benchmark.h>

#include <atomic>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/RatioMain.h"
#include "station/http/Http.h"
#include "station/http/Socket.h"
#include "tests/support/TestFiles.h"

#ifdef ATE_BENCH_HTTPLIB
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace {

using Make = std::unique_ptr<http::Server> (*)(http::Handler, http::Refusal, http::Limits,
                                               const http::Tls*);

// About what /api/state answers.
const std::string STATE =
    R"({"driver":"ready","exitStatus":null,"project":"pmic","flow":"pmic_flow","runs":{},)"
    R"("stopping":false,"busy":false,"passes":0,"lot":null,"handler":false})";

class Served {
 public:
  explicit Served(Make make, const http::Tls* tls = nullptr)
      : server_(make(
            [](const http::Request&, http::Response& response) {
              response.setHeader("Cache-Control", "no-store");
              response.setContent(STATE, "application/json");
            },
            [](int status, const std::string& message, http::Response& response) {
              response.status = status;
              response.setContent(message, "text/plain");
            },
            http::Limits{}, tls)),
        port_(server_->bind("127.0.0.1", 0)),
        thread_([this] { server_->serve(); }) {}
  ~Served() {
    server_->stop();
    thread_.join();
  }
  int port() const { return port_; }

 private:
  std::unique_ptr<http::Server> server_;
  int port_;
  std::thread thread_;
};

Make serverNamed(const std::string& name) {
  return name == "sockets" ? &http::makeSocketServer : &http::makeServer;
}

// Reads one answer (its head, then Content-Length bytes) through more, which appends what comes
// to buffer; false when it doesn't come.
template <typename More>
bool readAnswerThrough(std::string& buffer, More more) {
  for (;;) {
    const std::size_t headEnd = buffer.find("\r\n\r\n");
    if (headEnd != std::string::npos) {
      const std::size_t length = buffer.find("Content-Length: ");
      if (length == std::string::npos || length > headEnd) return false;
      const std::size_t size = std::stoul(buffer.substr(length + 16));
      if (buffer.size() >= headEnd + 4 + size) {
        if (buffer.compare(0, 12, "HTTP/1.1 200") != 0) return false;
        buffer.erase(0, headEnd + 4 + size);
        return true;
      }
    }
    if (!more(buffer)) return false;
  }
}

bool readAnswer(const http::Socket& socket, std::string& buffer) {
  static const std::atomic<bool> never{false};
  return readAnswerThrough(buffer, [&](std::string& into) {
    return socket.receiveSome(into, std::chrono::seconds(10), never);
  });
}

const std::string REQUEST = "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

void keptAlive(benchmark::State& state, const std::string& server) {
  Served served(serverNamed(server));
  http::Socket socket;
  std::string buffer;
  int onConnection = 0;
  for (auto _ : state) {
    // Both servers end a connection after 100 requests; a client opens the next.
    if (!socket.valid() || ++onConnection > 90) {
      socket = http::Socket::connect("127.0.0.1", served.port());
      socket.setNoDelay();
      buffer.clear();
      onConnection = 1;
    }
    if (!socket.sendAll(REQUEST) || !readAnswer(socket, buffer)) {
      state.SkipWithError("no answer");
      break;
    }
  }
  state.counters["requests"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void newConnection(benchmark::State& state, const std::string& server) {
  Served served(serverNamed(server));
  const std::string request =
      "GET /api/state HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  for (auto _ : state) {
    http::Socket socket = http::Socket::connect("127.0.0.1", served.port());
    socket.setNoDelay();
    std::string buffer;
    if (!socket.sendAll(request) || !readAnswer(socket, buffer)) {
      state.SkipWithError("no answer");
      break;
    }
  }
  state.counters["requests"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

#ifdef ATE_BENCH_HTTPLIB
// An OpenSSL client on one kept-alive connection at a time to a TLS server on loopback.
class TlsClient {
 public:
  TlsClient() : context_(SSL_CTX_new(TLS_client_method())) {}
  ~TlsClient() {
    close();
    SSL_CTX_free(context_);
  }
  bool connect(int port) {
    close();
    socket_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (::connect(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      return false;
    }
    ssl_ = SSL_new(context_);
    SSL_set_fd(ssl_, socket_);
    buffer_.clear();
    return SSL_connect(ssl_) == 1;
  }
  bool request(const std::string& text) {
    if (SSL_write(ssl_, text.data(), static_cast<int>(text.size())) <= 0) return false;
    return readAnswerThrough(buffer_, [this](std::string& into) {
      char chunk[16384];
      const int got = SSL_read(ssl_, chunk, sizeof chunk);
      if (got <= 0) return false;
      into.append(chunk, static_cast<std::size_t>(got));
      return true;
    });
  }

 private:
  void close() {
    if (ssl_ != nullptr) SSL_free(ssl_);
    if (socket_ >= 0) ::close(socket_);
    ssl_ = nullptr;
    socket_ = -1;
  }
  SSL_CTX* context_;
  SSL* ssl_ = nullptr;
  int socket_ = -1;
  std::string buffer_;
};

void keptAliveTls(benchmark::State& state) {
  const TempDir dir;
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
      "-nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
      dir.path("key.pem") + " -out " + dir.path("cert.pem") + " 2>/dev/null";
  if (std::system(command.c_str()) != 0) {
    state.SkipWithError("openssl could not make a certificate");
    return;
  }
  const http::Tls tls{dir.path("cert.pem"), dir.path("key.pem")};
  Served served(&http::makeServer, &tls);
  TlsClient client;
  int onConnection = 0;
  for (auto _ : state) {
    if (onConnection == 0 || ++onConnection > 90) {
      if (!client.connect(served.port())) {
        state.SkipWithError("no TLS connection");
        break;
      }
      onConnection = 1;
    }
    if (!client.request(REQUEST)) {
      state.SkipWithError("no answer");
      break;
    }
  }
  state.counters["requests"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> servers{"sockets"};
#ifdef ATE_BENCH_HTTPLIB
  servers.push_back("httplib");
#endif
  std::vector<bench::Ratio> ratios;
  for (const char* server : servers) {
    const std::string name = server;
    benchmark::RegisterBenchmark(("keptAlive/" + name).c_str(), keptAlive, name)->UseRealTime();
    benchmark::RegisterBenchmark(("newConnection/" + name).c_str(), newConnection, name)
        ->UseRealTime();
    ratios.push_back({"http, " + name + ", time per request: kept-alive / new connection",
                      "keptAlive/" + name + "/real_time", "newConnection/" + name + "/real_time",
                      1.0});
  }
#ifdef ATE_BENCH_HTTPLIB
  benchmark::RegisterBenchmark("keptAliveTls/httplib", keptAliveTls)->UseRealTime();
  ratios.push_back({"http, httplib, time per kept-alive request: TLS / plain",
                    "keptAliveTls/httplib/real_time", "keptAlive/httplib/real_time", 2.0});
#endif
  return bench::runWithRatios(
      argc, argv, std::cout, ratios, [&](std::ostream& out, const bench::Times& times) {
        for (const auto& [name, nanoseconds] : times) {
          bench::printFigure(out, "http, requests per second, " + name, 1e9 / nanoseconds, "/s");
        }
      });
}
