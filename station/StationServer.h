// The station's HTTP side: the page, the JSON API and the event stream, behind the checks that
// keep anyone but the operator's own page from driving the station (station/Admission.h).
#ifndef ATE_STATION_STATIONSERVER_H_
#define ATE_STATION_STATIONSERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "station/Admission.h"

class DatalogPanel;
class Deliverer;
class EventLog;
class LotController;
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

// What the server serves and drives; lot and delivery may be null (no handler, no delivery).
struct StationParts {
  ProjectCatalog& catalog;
  StationSession& session;
  EventLog& log;
  DatalogPanel& datalog;
  LotController* lot = nullptr;
  Deliverer* delivery = nullptr;
};

class StationServer {
 public:
  StationServer(ServerOptions options, StationParts parts);
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
  using Handler = void (StationServer::*)(const http::Request&, http::Response&);

  // Every request: the admission checks, then its route.
  void handle(const http::Request& request, http::Response& response);
  void page(const http::Request& request, http::Response& response);
  void projects(const http::Request& request, http::Response& response);
  void state(const http::Request& request, http::Response& response);
  void datalog(const http::Request& request, http::Response& response);
  void lotState(const http::Request& request, http::Response& response);
  void lotWafer(const http::Request& request, http::Response& response);
  void lotReport(const http::Request& request, http::Response& response);
  void deliveryState(const http::Request& request, http::Response& response);
  void events(const http::Request& request, http::Response& response);
  void load(const http::Request& request, http::Response& response);
  void run(const http::Request& request, http::Response& response);
  void stopRun(const http::Request& request, http::Response& response);
  void unload(const http::Request& request, http::Response& response);
  void restart(const http::Request& request, http::Response& response);
  void lotStart(const http::Request& request, http::Response& response);
  void lotEnd(const http::Request& request, http::Response& response);
  void lotPause(const http::Request& request, http::Response& response);
  void lotResume(const http::Request& request, http::Response& response);

  // Engineering commands wait while a lot runs: false with the response set to 409.
  bool noLot(http::Response& response);
  std::string stateJson();
  std::string lotJson() const;
  std::string deliveryJson() const;

  const ServerOptions options_;
  const AdmissionPolicy policy_;
  StationParts parts_;
  std::map<std::string, Handler> gets_, posts_;  // by path
  std::unique_ptr<http::Server> server_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> streams_{0};  // event streams open now
  int port_ = 0;

  std::mutex runsMutex_;                                 // guards runStartPasses_
  std::map<std::string, std::uint64_t> runStartPasses_;  // run number -> datalog passes then
};

#endif  // ATE_STATION_STATIONSERVER_H_
