#include "station/StationServer.h"

#include <nlohmann/json.hpp>

#include "station/DatalogPanel.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationSession.h"
#include "station/WebFiles.h"
#include "station/http/Http.h"

using nlohmann::json;

namespace {

const char* const TOKEN_HEADER = "X-Station-Token";
const char* const TOKEN_COOKIE = "station_token";
// Lines sent to a stream per write; a stream that is behind catches up in steps of this.
constexpr std::size_t STREAM_BATCH = 500;

void sendJson(http::Response& response, int status, const json& body) {
  response.status = status;
  response.setContent(body.dump(), "application/json");
}

void sendError(http::Response& response, int status, const std::string& message) {
  sendJson(response, status, json{{"error", message}});
}

// Equal without an early exit, so the time taken tells nothing about where a guess went wrong.
bool sameSecret(const std::string& a, const std::string& b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
  }
  return difference == 0;
}

std::string cookie(const http::Request& request, const std::string& name) {
  const std::string header = request.header("Cookie");
  std::size_t at = 0;
  while (at < header.size()) {
    std::size_t end = header.find(';', at);
    if (end == std::string::npos) end = header.size();
    std::string pair = header.substr(at, end - at);
    pair.erase(0, pair.find_first_not_of(' '));
    if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
    at = end + 1;
  }
  return "";
}

// The host part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string hostName(const std::string& header) {
  if (!header.empty() && header[0] == '[') {
    const std::size_t close = header.find(']');
    return close == std::string::npos ? header : header.substr(1, close - 1);
  }
  return header.substr(0, header.find(':'));
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

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0;
}

StationServer::StationServer(ServerOptions options, ProjectCatalog& catalog,
                             StationSession& session, EventLog& log, DatalogPanel& datalog)
    : options_(std::move(options)),
      catalog_(catalog),
      session_(session),
      log_(log),
      datalog_(datalog),
      server_(
          http::makeServer([this](const http::Request& request,
                                  http::Response& response) { handle(request, response); },
                           [](int status, const std::string& message, http::Response& response) {
                             sendError(response, status, message);
                           },
                           http::Limits{options_.maxBody, options_.maxStreams + 8})) {
  routes();
}

StationServer::~StationServer() { stop(); }

int StationServer::bind(std::string& error) {
  port_ = server_->bind(options_.host, options_.port);
  if (port_ < 0) {
    error = "cannot listen on " + options_.host + ":" + std::to_string(options_.port);
  }
  return port_;
}

void StationServer::serve() { server_->serve(); }

void StationServer::stop() {
  stopping_ = true;
  log_.wakeAll();
  server_->stop();
}

bool StationServer::admit(const http::Request& request, http::Response& response) {
  if (request.method != "GET" && request.method != "POST") {
    sendError(response, 405, "only GET and POST are served");
    return false;
  }
  const std::string host = request.header("Host");
  // On loopback, a page from any other site that reaches us through a name of its own (DNS
  // rebinding) comes with that name as its Host.
  if (isLoopback(options_.host) && !isLoopback(hostName(host))) {
    sendError(response, 403, "this station answers only to its loopback address");
    return false;
  }
  if (!options_.token.empty()) {
    const bool pageWithToken = request.method == "GET" && request.path == "/" &&
                               sameSecret(request.param("token"), options_.token);
    if (!pageWithToken && !sameSecret(request.header(TOKEN_HEADER), options_.token) &&
        !sameSecret(cookie(request, TOKEN_COOKIE), options_.token)) {
      sendError(response, 401, "this station needs its token");
      return false;
    }
  }
  if (request.method == "POST" && request.header("Origin") != "http://" + host) {
    sendError(response, 403, "a request that changes anything must come from the station's page");
    return false;
  }
  return true;
}

std::string StationServer::stateJson() {
  const SessionState state = session_.state();
  const std::uint64_t passes = datalog_.passes();
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
              {"linesDropped", log_.dropped()},
              {"lastLine", log_.lastId()}}
      .dump();
}

void StationServer::handle(const http::Request& request, http::Response& response) {
  if (!admit(request, response)) return;
  const auto& routes = request.method == "GET" ? gets_ : posts_;
  const auto found = routes.find(request.path);
  if (found == routes.end()) {
    sendError(response, 404, "no such page");
    return;
  }
  found->second(request, response);
}

void StationServer::routes() {
  for (const WebFile* file = WEB_FILES; file->path != nullptr; ++file) {
    gets_[file->path] = [this, file](const http::Request& request, http::Response& response) {
      if (!options_.token.empty() && request.hasParam("token")) {
        // Remembered by the browser so that the page's own requests carry the token.
        response.setHeader("Set-Cookie", std::string(TOKEN_COOKIE) + "=" + options_.token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
      }
      response.setHeader("Cache-Control", "no-store");
      response.setHeader("X-Content-Type-Options", "nosniff");
      response.setHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
      response.setContent(std::string(reinterpret_cast<const char*>(file->data), file->size),
                          file->contentType);
    };
  }

  gets_["/api/projects"] = [this](const http::Request&, http::Response& response) {
    json projects = json::array();
    for (const ProjectEntry& project : catalog_.list()) {
      projects.push_back(json{{"name", project.name},
                              {"library", project.library},
                              {"flows", project.flows},
                              {"settings", project.settings}});
    }
    sendJson(response, 200, json{{"projects", projects}});
  };

  gets_["/api/state"] = [this](const http::Request&, http::Response& response) {
    response.setContent(stateJson(), "application/json");
  };

  gets_["/api/datalog"] = [this](const http::Request&, http::Response& response) {
    response.setContent(datalog_.json(), "application/json");
  };

  posts_["/api/load"] = [this](const http::Request& request, http::Response& response) {
    json body;
    std::string project, flow, error;
    if (!readBody(request, response, body) || !field(body, "project", response, project) ||
        !field(body, "flow", response, flow)) {
      return;
    }
    std::filesystem::path projectPath, flowPath;
    ProjectCatalog::Lookup found = catalog_.resolve(project, "", projectPath, error);
    if (found == ProjectCatalog::Lookup::ok)
      found = catalog_.resolve(project, flow, flowPath, error);
    if (found != ProjectCatalog::Lookup::ok) {
      sendError(response, found == ProjectCatalog::Lookup::bad ? 400 : 404, error);
      return;
    }
    const std::string library = catalog_.library(project);
    std::filesystem::path libraryPath;
    if (library.empty() ||
        catalog_.resolve(project, library, libraryPath, error) != ProjectCatalog::Lookup::ok) {
      sendError(response, 404, "the project \"" + project + "\" has no library");
      return;
    }
    if (!commandSafe(libraryPath.u8string(), response) ||
        !commandSafe(flowPath.u8string(), response)) {
      return;
    }
    sendResult(response, session_.load(project, flow, libraryPath.u8string(), flowPath.u8string()));
  };

  posts_["/api/run"] = [this](const http::Request& request, http::Response& response) {
    json body;
    std::string setting, error;
    if (!readBody(request, response, body) || !field(body, "setting", response, setting)) return;
    const SessionState state = session_.state();
    if (state.project.empty()) {
      sendError(response, 409, "load a project first");
      return;
    }
    std::filesystem::path settingPath;
    const ProjectCatalog::Lookup found =
        catalog_.resolve(state.project, setting, settingPath, error);
    if (found != ProjectCatalog::Lookup::ok) {
      sendError(response, found == ProjectCatalog::Lookup::bad ? 400 : 404, error);
      return;
    }
    if (!commandSafe(settingPath.u8string(), response)) return;
    const std::uint64_t passes = datalog_.passes();
    const CommandResult result = session_.run(setting, settingPath.u8string());
    if (result.outcome == CommandResult::Outcome::done) {
      std::lock_guard<std::mutex> lock(runsMutex_);
      runStartPasses_[result.reply.substr(0, result.reply.find('^'))] = passes;
    }
    sendResult(response, result);
  };

  const auto simple = [this](CommandResult (StationSession::*action)()) {
    return [this, action](const http::Request& request, http::Response& response) {
      json body;
      if (!readBody(request, response, body)) return;
      sendResult(response, (session_.*action)());
    };
  };
  posts_["/api/stop"] = simple(&StationSession::stop);
  posts_["/api/unload"] = simple(&StationSession::unload);
  posts_["/api/restart"] = [this](const http::Request&, http::Response& response) {
    if (session_.state().driver != SessionState::Driver::ended) {
      sendError(response, 409, "the driver is still running");
      return;
    }
    if (!session_.start()) {
      sendError(response, 500, "the driver could not be started; see the log");
      return;
    }
    sendJson(response, 200, json{{"message", "restarting the driver"}});
  };

  gets_["/api/events"] = [this](const http::Request& request, http::Response& response) {
    events(request, response);
  };
}

void StationServer::events(const http::Request& request, http::Response& response) {
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
  if (cursor > log_.lastId()) cursor = 0;

  struct Stream {
    std::uint64_t cursor = 0;
    std::uint64_t generation = ~std::uint64_t{0};
    std::string datalog;
    std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
  };
  auto stream = std::make_shared<Stream>();
  stream->cursor = cursor;
  response.setHeader("Cache-Control", "no-store");
  response.contentType = "text/event-stream";
  response.streamEnded = [this] { --streams_; };
  response.stream = [this, stream](const http::StreamWrite& write) {
    if (stopping_) return false;
    const std::uint64_t generation =
        log_.wait(stream->cursor, stream->generation, std::chrono::milliseconds(500));
    if (stopping_) return false;
    std::string text;
    if (generation != stream->generation) {
      stream->generation = generation;
      text += "event: state\ndata: " + stateJson() + "\n\n";
      std::string datalog = datalog_.json();
      if (datalog != stream->datalog) {
        text += "event: datalog\ndata: " + datalog + "\n\n";
        stream->datalog = std::move(datalog);
      }
    }
    const EventLog::Batch batch = log_.since(stream->cursor, STREAM_BATCH);
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
