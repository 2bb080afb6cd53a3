// The station's HTTP side: the page, the JSON API and the event stream, behind the checks that
// keep anyone but the operator's own page from driving the station (station/Admission.h) and,
// once the station has accounts, anyone from what their role may not do (station/access/).
#ifndef ATE_STATION_STATIONSERVER_H_
#define ATE_STATION_STATIONSERVER_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "station/Admission.h"
#include "station/access/AccessControl.h"
#include "station/access/Roles.h"

class AuditTrail;
class DatalogPanel;
class Deliverer;
class EventLog;
class LotController;
namespace gem {
class GemEquipment;
}
class ProjectCatalog;
class Releases;
class StationSession;
namespace http {
class Server;
struct Request;
struct Response;
}  // namespace http

struct ServerOptions {
  std::string host = "127.0.0.1";
  int port = 8080;              // 0: any free port
  std::size_t maxBody = 16384;  // bytes; a bigger request body gets 413
  std::size_t maxStreams = 16;  // event streams open at once; more get 503
  // TLS: the PEM files of the certificate (with its chain) and its key; both empty: plain HTTP.
  std::string tlsCert, tlsKey;
  // Listening beyond loopback without TLS or accounts, as the operator chose (shown in red).
  bool insecureNetwork = false;
};

// What the server serves and drives; lot, delivery, access, audit and releases may be null (no
// handler, no delivery, no accounts).
struct StationParts {
  ProjectCatalog& catalog;
  StationSession& session;
  EventLog& log;
  DatalogPanel& datalog;
  LotController* lot = nullptr;
  Deliverer* delivery = nullptr;
  AccessControl* access = nullptr;
  AuditTrail* audit = nullptr;
  Releases* releases = nullptr;
  gem::GemEquipment* gem = nullptr;  // the factory host's interface; null: none
};

// One request on its way through: who sent it, and what the audit trail says it did.
struct Call {
  const http::Request& request;
  Identity who;
  std::string detail;  // added to the audit line's "what" by the handler
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
  using Handler = void (StationServer::*)(Call&, http::Response&);
  struct Route {
    Handler handler;
    std::optional<Role> needs;  // empty: anyone, also without a session
  };

  // Every request: the admission checks, who sent it, whether the route allows it, the route,
  // and the audit line of a request that changes something.
  void handle(const http::Request& request, http::Response& response);
  // Whether the caller may take the route: false with the response set (401, 403).
  bool permitted(const Call& call, const Route& route, http::Response& response) const;
  void audit(const Call& call, const http::Response& response);

  void page(Call& call, http::Response& response);
  void projects(Call& call, http::Response& response);
  void state(Call& call, http::Response& response);
  void datalog(Call& call, http::Response& response);
  void lotState(Call& call, http::Response& response);
  void lotWafer(Call& call, http::Response& response);
  void lotReport(Call& call, http::Response& response);
  void deliveryState(Call& call, http::Response& response);
  void events(Call& call, http::Response& response);
  void load(Call& call, http::Response& response);
  void run(Call& call, http::Response& response);
  void stopRun(Call& call, http::Response& response);
  void unload(Call& call, http::Response& response);
  void restart(Call& call, http::Response& response);
  void lotStart(Call& call, http::Response& response);
  void lotEnd(Call& call, http::Response& response);
  void lotPause(Call& call, http::Response& response);
  void lotResume(Call& call, http::Response& response);
  void lotClearAlarms(Call& call, http::Response& response);
  // GemRoutes.cpp
  void gemState(Call& call, http::Response& response);
  void gemControl(Call& call, http::Response& response);
  void gemAnswer(Call& call, http::Response& response);
  // Accounts, sessions, releases and the audit trail (station/AccessRoutes.cpp).
  void login(Call& call, http::Response& response);
  void logout(Call& call, http::Response& response);
  void me(Call& call, http::Response& response);
  void makeToken(Call& call, http::Response& response);
  void releaseList(Call& call, http::Response& response);
  void releaseAdd(Call& call, http::Response& response);
  void auditTrail(Call& call, http::Response& response);
  void accountList(Call& call, http::Response& response);

  // Engineering commands wait while a lot runs: false with the response set to 409.
  bool noLot(http::Response& response);
  std::string stateJson();
  std::string lotJson() const;
  std::string deliveryJson() const;
  bool accountsOn() const { return parts_.access != nullptr && parts_.access->enabled(); }
  bool tls() const { return !options_.tlsCert.empty(); }

  const ServerOptions options_;
  const AdmissionPolicy policy_;
  StationParts parts_;
  std::map<std::string, Route> gets_, posts_;  // by path
  std::unique_ptr<http::Server> server_;
  std::atomic<bool> stopping_{false};
  std::atomic<std::size_t> streams_{0};  // event streams open now
  int port_ = 0;

  std::mutex runsMutex_;                                 // guards runStartPasses_
  std::map<std::string, std::uint64_t> runStartPasses_;  // run number -> datalog passes then
};

#endif  // ATE_STATION_STATIONSERVER_H_
