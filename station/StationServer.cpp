#include "station/StationServer.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "station/DatalogPanel.h"
#include "station/Delivery.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationSession.h"
#include "station/WebFiles.h"
#include "station/access/AuditTrail.h"
#include "station/http/Http.h"
#include "station/lot/LotController.h"

using nlohmann::json;

namespace {

// Lines sent to a stream per write; a stream that is behind catches up in steps of this.
constexpr std::size_t STREAM_BATCH = 500;

void sendJson(http::Response& response, int status, const json& body) {
  response.status = status;
  response.setContent(body.dump(), "application/json");
}

void sendError(http::Response& response, int status, const std::string& message) {
  sendJson(response, status, json{{"error", message}});
}

// The request body as a JSON object, or false with the response set to 400.
bool readBody(const http::Request& request, http::Response& response, json& body) {
  try {
    body = request.body.empty() ? json::object() : json::parse(request.body);
  } catch (const json::exception& error) {
    sendError(response, 400, std::string("the request body is not valid JSON: ") + error.what());
    return false;
  }
  if (!body.is_object()) {
    sendError(response, 400, "the request body must be a JSON object");
    return false;
  }
  return true;
}

// A string field of the body, or false with the response set to 400.
bool field(const json& body, const char* name, http::Response& response, std::string& value) {
  const auto found = body.find(name);
  if (found == body.end() || !found->is_string()) {
    sendError(response, 400, std::string("the request needs \"") + name + "\" as a string");
    return false;
  }
  value = found->get<std::string>();
  return true;
}

// The driver's commands have no quoting: a path with white space would become two arguments.
bool commandSafe(const std::string& path, http::Response& response) {
  if (path.find_first_of(" \t\n\v\f\r") == std::string::npos) return true;
  sendError(response, 400,
            "the path \"" + path + "\" holds white space, which a driver command can't carry");
  return false;
}

void sendResult(http::Response& response, const CommandResult& result) {
  json body{{"command", result.command}, {"reply", result.reply}, {"message", result.message}};
  switch (result.outcome) {
    case CommandResult::Outcome::done:
      sendJson(response, 200, body);
      return;
    case CommandResult::Outcome::errorReply:
      body["error"] = result.message;
      body["code"] = result.code;
      sendJson(response, 422, body);
      return;
    case CommandResult::Outcome::timeout:
      body["error"] = result.message;
      sendJson(response, 504, body);
      return;
    case CommandResult::Outcome::notReady:
    case CommandResult::Outcome::driverEnded:
      body["error"] = result.message;
      sendJson(response, 409, body);
      return;
  }
}

std::unique_ptr<http::Server> makeStationServer(http::Handler handler, http::Refusal refusal,
                                                http::Limits limits, const ServerOptions& options) {
  if (options.tlsCert.empty())
    return http::makeServer(std::move(handler), std::move(refusal), limits);
  const http::Tls tls{options.tlsCert, options.tlsKey};
  return http::makeServer(std::move(handler), std::move(refusal), limits, &tls);
}

const char* kindName(LogLine::Kind kind) {
  switch (kind) {
    case LogLine::Kind::out:
      return "out";
    case LogLine::Kind::err:
      return "err";
    case LogLine::Kind::station:
      return "station";
  }
  return "out";
}

}  // namespace

StationServer::StationServer(ServerOptions options, StationParts parts)
    : options_(std::move(options)),
      policy_{options_.host, !options_.tlsCert.empty()},
      parts_(parts),
      server_(
          makeStationServer([this](const http::Request& request,
                                   http::Response& response) { handle(request, response); },
                            [](int status, const std::string& message, http::Response& response) {
                              sendError(response, status, message);
                            },
                            http::Limits{options_.maxBody, options_.maxStreams + 8}, options_)) {
  const Role looks = Role::operatorRole;
  gets_ = {{"/api/projects", {&StationServer::projects, looks}},
           {"/api/state", {&StationServer::state, looks}},
           {"/api/datalog", {&StationServer::datalog, looks}},
           {"/api/lot", {&StationServer::lotState, looks}},
           {"/api/lot/wafer", {&StationServer::lotWafer, looks}},
           {"/api/lot/report", {&StationServer::lotReport, looks}},
           {"/api/delivery", {&StationServer::deliveryState, looks}},
           {"/api/gem", {&StationServer::gemState, looks}},
           {"/api/events", {&StationServer::events, looks}},
           {"/api/me", {&StationServer::me, std::nullopt}},
           {"/api/releases", {&StationServer::releaseList, looks}},
           {"/api/audit", {&StationServer::auditTrail, Role::engineer}},
           {"/api/accounts", {&StationServer::accountList, Role::admin}}};
  posts_ = {{"/api/load", {&StationServer::load, Role::engineer}},
            {"/api/run", {&StationServer::run, Role::engineer}},
            {"/api/stop", {&StationServer::stopRun, Role::engineer}},
            {"/api/unload", {&StationServer::unload, Role::engineer}},
            {"/api/restart", {&StationServer::restart, Role::engineer}},
            {"/api/lot/start", {&StationServer::lotStart, Role::operatorRole}},
            {"/api/lot/end", {&StationServer::lotEnd, Role::operatorRole}},
            {"/api/lot/pause", {&StationServer::lotPause, Role::operatorRole}},
            {"/api/lot/resume", {&StationServer::lotResume, Role::operatorRole}},
            {"/api/lot/alarms/clear", {&StationServer::lotClearAlarms, Role::operatorRole}},
            {"/api/gem/control", {&StationServer::gemControl, Role::operatorRole}},
            {"/api/gem/answer", {&StationServer::gemAnswer, Role::operatorRole}},
            {"/api/login", {&StationServer::login, std::nullopt}},
            {"/api/logout", {&StationServer::logout, std::nullopt}},
            {"/api/tokens", {&StationServer::makeToken, Role::operatorRole}},
            {"/api/releases", {&StationServer::releaseAdd, Role::engineer}}};
}

StationServer::~StationServer() { stop(); }

int StationServer::bind(std::string& error) {
  if (!server_->problem().empty()) {
    error = server_->problem();
    return -1;
  }
  port_ = server_->bind(options_.host, options_.port);
  if (port_ < 0) {
    error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
  }
  return port_;
}

void StationServer::serve() { server_->serve(); }

void StationServer::stop() {
  stopping_ = true;
  parts_.log.wakeAll();
  server_->stop();
}

std::string StationServer::stateJson() {
  const SessionState state = parts_.session.state();
  const std::uint64_t passes = parts_.datalog.passes();
  json runs = json::array();
  std::string phase;
  {
    std::lock_guard<std::mutex> lock(runsMutex_);
    for (const auto& [number, setting] : state.runs) {
      const auto start = runStartPasses_.find(number);
      const std::uint64_t done =
          start != runStartPasses_.end() && passes >= start->second ? passes - start->second : 0;
      runs.push_back(json{{"number", number}, {"setting", setting}, {"passesDone", done}});
      if (phase.empty()) {
        phase = "run " + number + " going, " + std::to_string(done) + " pass" +
                (done == 1 ? "" : "es") + " done";
      }
    }
  }
  const char* driver = "starting";
  switch (state.driver) {
    case SessionState::Driver::starting:
      phase = "starting";
      break;
    case SessionState::Driver::ready:
      driver = "ready";
      if (state.stopping) {
        phase = "stopping";
      } else if (phase.empty()) {
        phase = state.project.empty() ? "ready" : "project loaded";
      }
      break;
    case SessionState::Driver::ended:
      driver = "ended";
      phase =
          "driver ended" + (state.exitStatus ? " (status " + std::to_string(*state.exitStatus) + ")"
                                             : std::string());
      break;
  }
  return json{{"driver", driver},
              {"phase", phase},
              {"exitStatus", state.exitStatus ? json(*state.exitStatus) : json(nullptr)},
              {"project", state.project},
              {"flow", state.flow},
              {"runs", runs},
              {"stopping", state.stopping},
              {"busy", state.busy},
              {"linesDropped", parts_.log.dropped()},
              {"lastLine", parts_.log.lastId()}}
      .dump();
}

void StationServer::handle(const http::Request& request, http::Response& response) {
  const Verdict verdict = admit(request, policy_);
  if (!verdict.admitted()) {
    sendError(response, verdict.status, verdict.message);
    return;
  }
  Call call{request, accountsOn() ? parts_.access->identify(request) : Identity(), ""};
  const auto& routes = request.method == "GET" ? gets_ : posts_;
  const auto found = routes.find(request.path);
  if (found == routes.end() && request.method != "GET") {
    sendError(response, 404, "no such page");
    return;
  }
  // The page and what it needs are anyone's: it shows who is logged in, or the login.
  const Route route = found != routes.end() ? found->second : Route{&StationServer::page, {}};
  if (!permitted(call, route, response)) {
    if (request.method == "POST") audit(call, response);
    return;
  }
  (this->*route.handler)(call, response);
  if (request.method == "POST") audit(call, response);
}

bool StationServer::permitted(const Call& call, const Route& route,
                              http::Response& response) const {
  if (!route.needs || !accountsOn()) return true;
  if (!call.who.known()) {
    sendError(response, 401, "log in first");
    return false;
  }
  if (allows(call.who.account->role, *route.needs)) return true;
  sendError(response, 403,
            std::string("this needs the ") + roleName(*route.needs) + " role; " +
                call.who.account->name + " is " + roleName(call.who.account->role));
  return false;
}

void StationServer::audit(const Call& call, const http::Response& response) {
  if (parts_.audit == nullptr) return;
  AuditEntry entry;
  entry.who = call.who.known() ? call.who.account->name : "-";
  entry.role = call.who.known() ? roleName(call.who.account->role) : "";
  entry.address = call.request.remoteAddress;
  entry.what = "POST " + call.request.path + (call.detail.empty() ? "" : ": " + call.detail);
  std::string error;
  try {
    error = json::parse(response.body).value("error", "");
  } catch (const json::exception&) {
  }
  entry.outcome = std::to_string(response.status) + (error.empty() ? "" : " " + error);
  parts_.audit->append(entry);
}

void StationServer::page(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  const WebFile* file = WEB_FILES;
  while (file->path != nullptr && request.path != file->path) ++file;
  if (file->path == nullptr) {
    sendError(response, 404, "no such page");
    return;
  }
  response.setHeader("Cache-Control", "no-store");
  response.setHeader("X-Content-Type-Options", "nosniff");
  response.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
  response.setContent(std::string(reinterpret_cast<const char*>(file->data), file->size),
                      file->contentType);
}

void StationServer::projects(Call&, http::Response& response) {
  json projects = json::array();
  for (const ProjectEntry& project : parts_.catalog.list()) {
    projects.push_back(json{{"name", project.name},
                            {"library", project.library},
                            {"flows", project.flows},
                            {"settings", project.settings}});
  }
  sendJson(response, 200, json{{"projects", projects}});
}

void StationServer::state(Call&, http::Response& response) {
  response.setContent(stateJson(), "application/json");
}

void StationServer::datalog(Call&, http::Response& response) {
  response.setContent(parts_.datalog.json(), "application/json");
}

void StationServer::lotReport(Call&, http::Response& response) {
  const std::string path = parts_.lot != nullptr ? parts_.lot->reportPath() : "";
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (path.empty() || !in) return sendError(response, 404, "no lot has ended with a report yet");
  const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  response.setHeader("Cache-Control", "no-store");
  response.setHeader("X-Content-Type-Options", "nosniff");
  // The report is self-contained: its own styles, no script, nothing fetched.
  response.setHeader("Content-Security-Policy",
                     "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
                     "frame-ancestors 'none'");
  response.setContent(html, "text/html; charset=utf-8");
}

void StationServer::lotWafer(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  const std::string id = request.param("id");
  std::size_t from = 0;
  const std::string fromText = request.param("from");
  if (!fromText.empty()) {
    if (fromText.find_first_not_of("0123456789") != std::string::npos || fromText.size() > 9) {
      return sendError(response, 400, "from must be a part's number on the wafer");
    }
    from = std::stoul(fromText);
  }
  const std::string body = parts_.lot != nullptr ? parts_.lot->waferJson(id, from) : "";
  if (body.empty()) return sendError(response, 404, "the lot has no wafer \"" + id + "\"");
  response.setContent(body, "application/json");
}

void StationServer::lotState(Call&, http::Response& response) {
  response.setContent(lotJson(), "application/json");
}

void StationServer::deliveryState(Call&, http::Response& response) {
  response.setContent(deliveryJson(), "application/json");
}

std::string StationServer::lotJson() const {
  return parts_.lot != nullptr
             ? parts_.lot->json()
             : json{{"state", "idle"},
                    {"handler", {{"configured", false}, {"connected", false}, {"state", "none"}}},
                    {"alarms", json::array()}}
                   .dump();
}

std::string StationServer::deliveryJson() const {
  if (parts_.delivery == nullptr) return json{{"configured", false}}.dump();
  const Deliverer::Status status = parts_.delivery->status();
  return json{{"configured", true},
              {"destination", status.destination},
              {"waiting", status.waiting},
              {"delivered", status.delivered},
              {"lastError", status.lastError}}
      .dump(-1, ' ', false, json::error_handler_t::replace);
}

bool StationServer::noLot(http::Response& response) {
  if (parts_.lot == nullptr || !parts_.lot->active()) return true;
  sendError(response, 409, "a lot is running: engineering commands wait until it has ended");
  return false;
}

void StationServer::load(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  json body;
  std::string project, flow, error;
  if (!readBody(request, response, body) || !field(body, "project", response, project) ||
      !field(body, "flow", response, flow) || !noLot(response)) {
    return;
  }
  std::filesystem::path libraryPath, flowPath;
  const ProjectCatalog::Lookup found =
      parts_.catalog.resolveLoad(project, flow, libraryPath, flowPath, error);
  if (found != ProjectCatalog::Lookup::ok) {
    sendError(response, found == ProjectCatalog::Lookup::bad ? 400 : 404, error);
    return;
  }
  if (!commandSafe(libraryPath.u8string(), response) ||
      !commandSafe(flowPath.u8string(), response)) {
    return;
  }
  sendResult(response,
             parts_.session.load(project, flow, libraryPath.u8string(), flowPath.u8string()));
}

void StationServer::run(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  json body;
  std::string setting, error;
  if (!readBody(request, response, body) || !field(body, "setting", response, setting) ||
      !noLot(response)) {
    return;
  }
  const SessionState state = parts_.session.state();
  if (state.project.empty()) {
    sendError(response, 409, "load a project first");
    return;
  }
  std::filesystem::path settingPath;
  const ProjectCatalog::Lookup found =
      parts_.catalog.resolve(state.project, setting, settingPath, error);
  if (found != ProjectCatalog::Lookup::ok) {
    sendError(response, found == ProjectCatalog::Lookup::bad ? 400 : 404, error);
    return;
  }
  if (!commandSafe(settingPath.u8string(), response)) return;
  const std::uint64_t passes = parts_.datalog.passes();
  const CommandResult result = parts_.session.run(setting, settingPath.u8string());
  if (result.outcome == CommandResult::Outcome::done) {
    std::lock_guard<std::mutex> lock(runsMutex_);
    runStartPasses_[result.reply.substr(0, result.reply.find('^'))] = passes;
  }
  sendResult(response, result);
}

void StationServer::stopRun(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  json body;
  if (readBody(request, response, body) && noLot(response)) {
    sendResult(response, parts_.session.stop());
  }
}

void StationServer::unload(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  json body;
  if (readBody(request, response, body) && noLot(response)) {
    sendResult(response, parts_.session.unload());
  }
}

void StationServer::restart(Call&, http::Response& response) {
  if (!noLot(response)) return;
  if (parts_.session.state().driver != SessionState::Driver::ended) {
    sendError(response, 409, "the driver is still running");
    return;
  }
  if (!parts_.session.start()) {
    sendError(response, 500, "the driver could not be started; see the log");
    return;
  }
  sendJson(response, 200, json{{"message", "restarting the driver"}});
}

namespace {

void sendAnswer(http::Response& response, const LotAnswer& answer) {
  if (answer.status == 200) {
    sendJson(response, 200, json{{"message", answer.message}});
  } else {
    sendError(response, answer.status, answer.message);
  }
}

}  // namespace

void StationServer::lotStart(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  if (parts_.lot == nullptr) {
    sendError(response, 409, "the station has no handler: start it with --handler HOST:PORT");
    return;
  }
  LotRequest lot;
  std::string error;
  if (!parseLotRequest(request.body.empty() ? "{}" : request.body, lot, error)) {
    sendError(response, 400, error);
    return;
  }
  call.detail = "lot " + lot.lotId +
                (lot.release.empty() ? " of project " + lot.project
                                     : " from release " + lot.release + "@" + lot.revision);
  // With accounts, lots run released programs only, and the lot's operator is the account.
  if (accountsOn()) {
    if (lot.release.empty()) {
      return sendError(response, 403, "lots run released programs only: name a release");
    }
    lot.operatorName = call.who.name();
  }
  sendAnswer(response, parts_.lot->start(lot, call.who.name()));
}

void StationServer::lotEnd(Call& call, http::Response& response) {
  if (parts_.lot == nullptr) return sendError(response, 409, "no lot is running");
  sendAnswer(response, parts_.lot->end(call.who.name()));
}

void StationServer::lotPause(Call& call, http::Response& response) {
  if (parts_.lot == nullptr) return sendError(response, 409, "no lot is running");
  sendAnswer(response, parts_.lot->pause(call.who.name()));
}

void StationServer::lotResume(Call& call, http::Response& response) {
  if (parts_.lot == nullptr) return sendError(response, 409, "no lot is running");
  sendAnswer(response, parts_.lot->resume(call.who.name()));
}

void StationServer::lotClearAlarms(Call& call, http::Response& response) {
  if (parts_.lot == nullptr) return sendError(response, 409, "the station has no lots");
  sendAnswer(response, parts_.lot->clearAlarms(call.who.name()));
}

void StationServer::events(Call& call, http::Response& response) {
  const http::Request& request = call.request;
  if (++streams_ > options_.maxStreams) {
    --streams_;
    sendError(response, 503, "too many event streams are open");
    return;
  }
  // A page that reconnects says where it was: the browser's Last-Event-ID, or ?from=N.
  std::string from = request.header("Last-Event-ID");
  if (from.empty()) from = request.param("from");
  std::uint64_t cursor = 0;
  try {
    cursor = from.empty() ? 0 : std::stoull(from);
  } catch (const std::exception&) {
    cursor = 0;
  }
  // From an earlier life of the station: start again from the beginning.
  if (cursor > parts_.log.lastId()) cursor = 0;

  struct Stream {
    std::uint64_t cursor = 0;
    std::uint64_t generation = ~std::uint64_t{0};
    std::string datalog, lot, delivery;
    std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
  };
  auto stream = std::make_shared<Stream>();
  stream->cursor = cursor;
  response.setHeader("Cache-Control", "no-store");
  response.contentType = "text/event-stream";
  response.streamEnded = [this] { --streams_; };
  const std::string session = call.who.session;
  response.stream = [this, stream, session](const http::StreamWrite& write) {
    if (stopping_) return false;
    // A page whose session ended (logout, idle, its account changed) hears no more.
    if (!session.empty() && !parts_.access->sessions().alive(session)) return false;
    const std::uint64_t generation =
        parts_.log.wait(stream->cursor, stream->generation, std::chrono::milliseconds(500));
    if (stopping_) return false;
    std::string text;
    if (generation != stream->generation) {
      stream->generation = generation;
      text += "event: state\ndata: " + stateJson() + "\n\n";
      // Each view is sent when it changed since this stream last had it.
      for (auto [name, now, sent] : {std::tuple{"datalog", parts_.datalog.json(), &stream->datalog},
                                     std::tuple{"lot", lotJson(), &stream->lot},
                                     std::tuple{"delivery", deliveryJson(), &stream->delivery}}) {
        if (now == *sent) continue;
        text += std::string("event: ") + name + "\ndata: " + now + "\n\n";
        *sent = std::move(now);
      }
    }
    const EventLog::Batch batch = parts_.log.since(stream->cursor, STREAM_BATCH);
    if (batch.skipped != 0) {
      text += "event: skipped\ndata: " + json{{"count", batch.skipped}}.dump() + "\n\n";
    }
    for (const LogLine& line : batch.lines) {
      text += "id: " + std::to_string(line.id) + "\nevent: line\ndata: " +
              json{{"id", line.id}, {"kind", kindName(line.kind)}, {"text", line.text}}.dump(
                  -1, ' ', false, json::error_handler_t::replace) +
              "\n\n";
      stream->cursor = line.id;
    }
    const auto now = std::chrono::steady_clock::now();
    if (text.empty() && now - stream->lastWrite > std::chrono::seconds(15)) {
      text = ": still here\n\n";  // keeps proxies and idle timers from closing the stream
    }
    if (text.empty()) return true;
    stream->lastWrite = now;
    return write(text);
  };
}
