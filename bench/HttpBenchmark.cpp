// The station's HTTP servers (our own over sockets, and cpp-httplib where the build has it):
// requests per second on a small JSON route, on one kept-alive connection and with a new
// connection per request. Wall time: what is measured is mostly waiting on the other side.
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

namespace {

using Make = std::unique_ptr<http::Server> (*)(http::Handler, http::Refusal, http::Limits,
                                               const http::Tls*);

// About what /api/state answers.
const std::string STATE =
    R"({"driver":"ready","exitStatus":null,"project":"pmic","flow":"pmic_flow","runs":{},)"
    R"("stopping":false,"busy":false,"passes":0,"lot":null,"handler":false})";

class Served {
 public:
  explicit Served(Make make)
      : server_(make(
            [](const http::Request&, http::Response& response) {
              response.setHeader("Cache-Control", "no-store");
              response.setContent(STATE, "application/json");
            },
            [](int status, const std::string& message, http::Response& response) {
              response.status = status;
              response.setContent(message, "text/plain");
            },
            http::Limits{}, nullptr)),
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

// Reads one answer off socket (its head, then Content-Length bytes); false when it doesn't come.
bool readAnswer(const http::Socket& socket, std::string& buffer) {
  static const std::atomic<bool> never{false};
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
    if (!socket.receiveSome(buffer, std::chrono::seconds(10), never)) return false;
  }
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
  return bench::runWithRatios(
      argc, argv, std::cout, ratios, [&](std::ostream& out, const bench::Times& times) {
        for (const auto& [name, nanoseconds] : times) {
          bench::printFigure(out, "http, requests per second, " + name, 1e9 / nanoseconds, "/s");
        }
      });
}
