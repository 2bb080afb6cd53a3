// The station's HTTP side: the page, the JSON API and the event stream, with the checks that
// keep anyone but the operator's own page from driving the station.
#ifndef ATE_STATION_STATIONSERVER_H_
#define ATE_STATION_STATIONSERVER_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class DatalogPanel;
class EventLog;
class ProjectCatalog;
class StationSession;
namespace http {
class Server;
struct Request;
struct Response;
}  // namespace http

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;              // 0: any free port
  std::string token;            // empty: no token asked (loopback only)
  std::size_t maxBody = 16384;  // bytes; a bigger request body gets 413
  std::size_t maxStreams = 16;  // event streams open at once; more get 503
};

// Whether host (an address or name, without port) is this machine's loopback.
bool isLoopback(const std::string& host);

class StationServer {
 public:
  StationServer(ServerOptions options, ProjectCatalog& catalog, StationSession& session,
                EventLog& log, DatalogPanel& datalog);
  ~StationServer();
  StationServer(const StationServer&) = delete;
  StationServer& operator=(const StationServer&) = delete;

  // Binds the listening socket; the port bound, or -1 with error set.
  int bind(std::string& error);
  // Serves until stop(); call after bind(), from one thread.
  void serve();
  // Ends serve() and every event stream. Any thread may call it.
  void stop();

 private:
  // Security checks every request passes before its handler; false with the response set.
  bool admit(const http::Request& request, http::Response& response);
  void routes();
  // Every request: the checks, then its route.
  void handle(const http::Request& request, http::Response& response);
  std::string stateJson();
  void events(const http::Request& request, http::Response& response);

  using Route = std::function<void(const http::Request&, http::Response&)>;

  const ServerOptions options_;
  ProjectCatalog& catalog_;
  StationSession& session_;
  EventLog& log_;
  DatalogPanel& datalog_;
  std::map<std::string, Route> gets_, posts_;  // by path
  std::unique_ptr<http::Server> server_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> streams_{0};  // event streams open now
  int port_ = 0;

  std::mutex runsMutex_;                                 // guards runStartPasses_
  std::map<std::string, std::uint64_t> runStartPasses_;  // run number -> datalog passes then
};

#endif  // ATE_STATION_STATIONSERVER_H_
