// The station's API for accounts, sessions, API tokens, released programs and the audit trail
// (docs/station.md, "Accounts"): the StationServer handlers of those routes.
#include <nlohmann/json.hpp>

#include "station/ApiJson.h"
#include "station/ProjectCatalog.h"
#include "station/StationServer.h"
#include "station/access/AuditTrail.h"
#include "station/access/Releases.h"
#include "station/http/Http.h"

using nlohmann::json;

using api::bodyOf;
using api::sendError;
using api::sendJson;

namespace {

std::string text(const json& body, const char* key) {
  const auto found = body.find(key);
  return found != body.end() && found->is_string() ? found->get<std::string>() : "";
}

json releaseJson(const Release& release) {
  json files = json::array();
  for (const ReleasedFile& file : release.files) {
    files.push_back({{"role", file.role}, {"file", file.file}, {"sha256", file.sha256}});
  }
  return {{"name", release.name},
          {"revision", release.revision},
          {"project", release.project},
          {"flow", release.flow},
          {"settings", release.settings},
          {"files", files},
          {"by", release.by},
          {"at", release.at}};
}

}  // namespace

void StationServer::login(Call& call, http::Response& response) {
  if (!accountsOn()) {
    return sendError(response, 409,
                     "this station has no accounts: anyone on this computer may "
                     "use it (ate-station users add NAME --role admin makes one)");
  }
  json body;
  if (!bodyOf(call.request, response, body)) return;
  const std::string user = text(body, "user");
  const LoginOutcome outcome =
      parts_.access->login(user, text(body, "password"), call.request.remoteAddress);
  // Never the password, in the audit trail or anywhere else.
  call.detail = "as " + (Accounts::validName(user) ? user : std::string("(not an account name)"));
  if (outcome.status != 200) {
    if (outcome.status == 429) {
      response.setHeader("Retry-After", std::to_string(outcome.retryAfter.count()));
    }
    return sendError(response, outcome.status, outcome.message);
  }
  call.who.account = outcome.account;
  response.setHeader("Set-Cookie", std::string(SESSION_COOKIE) + "=" + outcome.session +
                                       "; Path=/; HttpOnly; SameSite=Strict" +
                                       (tls() ? "; Secure" : ""));
  sendJson(response, 200,
           json{{"account", outcome.account->name}, {"role", roleName(outcome.account->role)}});
}

void StationServer::logout(Call& call, http::Response& response) {
  if (accountsOn() && !call.who.session.empty()) parts_.access->logout(call.who.session);
  response.setHeader("Set-Cookie", std::string(SESSION_COOKIE) +
                                       "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
                                       (tls() ? "; Secure" : ""));
  sendJson(response, 200, json{{"message", "logged out"}});
}

void StationServer::me(Call& call, http::Response& response) {
  json body = {
      {"accounts", accountsOn()}, {"tls", tls()}, {"insecureNetwork", options_.insecureNetwork}};
  if (!accountsOn()) {
    body["account"] = nullptr;
    return sendJson(response, 200, body);
  }
  if (!call.who.known()) {
    body["error"] = "log in first";
    return sendJson(response, 401, body);
  }
  body["account"] = call.who.account->name;
  body["role"] = roleName(call.who.account->role);
  sendJson(response, 200, body);
}

void StationServer::makeToken(Call& call, http::Response& response) {
  if (!accountsOn()) return sendError(response, 409, "this station has no accounts");
  json body;
  if (!bodyOf(call.request, response, body)) return;
  const std::string name = text(body, "name");
  std::string error;
  const std::string token = parts_.access->accounts().addToken(call.who.account->name, name, error);
  call.detail = "token \"" + name.substr(0, 64) + "\" for " + call.who.account->name;
  if (token.empty()) return sendError(response, 400, error);
  // Shown this once: only its digest is kept.
  sendJson(
      response, 200,
      json{{"token", token}, {"name", name}, {"message", "keep the token: it is not shown again"}});
}

void StationServer::releaseList(Call&, http::Response& response) {
  json list = json::array();
  if (parts_.releases != nullptr) {
    for (const Release& release : parts_.releases->list()) list.push_back(releaseJson(release));
  }
  sendJson(response, 200, json{{"releases", list}});
}

void StationServer::releaseAdd(Call& call, http::Response& response) {
  if (parts_.releases == nullptr) return sendError(response, 409, "this station keeps no releases");
  json body;
  if (!bodyOf(call.request, response, body)) return;
  Release release;
  release.name = text(body, "name");
  release.revision = text(body, "revision");
  release.project = text(body, "project");
  release.flow = text(body, "flow");
  const auto settings = body.find("settings");
  if (settings != body.end() && settings->is_array()) {
    for (const json& setting : *settings) {
      if (setting.is_string()) release.settings.push_back(setting.get<std::string>());
    }
  }
  release.by = call.who.name();
  call.detail =
      "release " + release.name + "@" + release.revision + " of project " + release.project;
  for (const std::string* name : {&release.project, &release.flow}) {
    if (!ProjectCatalog::validName(*name)) {
      return sendError(response, 400, "a release names its project and flow");
    }
  }
  std::string error;
  const int status = parts_.releases->add(release, parts_.catalog, error);
  if (status != 200) return sendError(response, status, error);
  const std::optional<Release> made = parts_.releases->find(release.name, release.revision);
  sendJson(response, 200, releaseJson(*made));
}

void StationServer::auditTrail(Call& call, http::Response& response) {
  if (parts_.audit == nullptr) return sendJson(response, 200, json{{"lines", json::array()}});
  std::size_t count = 200;
  const std::string wanted = call.request.param("count");
  if (!wanted.empty() && wanted.size() < 5 &&
      wanted.find_first_not_of("0123456789") == std::string::npos) {
    count = std::stoul(wanted);
  }
  json lines = json::array();
  for (const std::string& line : parts_.audit->newest(count)) {
    lines.push_back(json::parse(line, nullptr, false));
  }
  sendJson(response, 200, json{{"lines", lines}, {"head", parts_.audit->head()}});
}

void StationServer::accountList(Call&, http::Response& response) {
  json list = json::array();
  if (parts_.access != nullptr) {
    for (const Account& account : parts_.access->accounts().list()) {
      json tokens = json::array();
      for (const ApiToken& token : account.tokens) {
        tokens.push_back({{"name", token.name}, {"created", token.created}});
      }
      list.push_back({{"name", account.name},
                      {"role", roleName(account.role)},
                      {"created", account.created},
                      {"tokens", tokens}});
    }
  }
  sendJson(response, 200, json{{"accounts", list}});
}
