// The station's API for its SECS/GEM interface (docs/gem.md, "On the page"): how the link to the
// factory's host stands, the operator's online/offline switch and the answer to the host's text.
#include <nlohmann/json.hpp>

#include "station/ApiJson.h"
#include "station/StationServer.h"
#include "station/gem/GemEquipment.h"
#include "station/http/Http.h"

using nlohmann::json;

using api::bodyOf;
using api::sendError;
using api::sendJson;

void StationServer::gemState(Call&, http::Response& response) {
  if (parts_.gem == nullptr) return sendJson(response, 200, json{{"configured", false}});
  const gem::GemEquipment::View view = parts_.gem->view();
  sendJson(response, 200,
           json{{"configured", true},
                {"selected", view.selected},
                {"communicating", view.communicating},
                {"control", gem::controlName(view.control)},
                {"controlState", static_cast<int>(view.control)},
                {"process", gem::processName(view.process)},
                {"ppid", view.ppid},
                {"terminalText", view.terminalText}});
}

void StationServer::gemControl(Call& call, http::Response& response) {
  if (parts_.gem == nullptr) {
    return sendError(response, 409, "the station has no SECS/GEM interface");
  }
  json body;
  if (!bodyOf(call.request, response, body)) return;
  const auto online = body.find("online");
  const auto remote = body.find("remote");
  if (online == body.end() || !online->is_boolean() ||
      (remote != body.end() && !remote->is_boolean())) {
    return sendError(response, 400,
                     "give \"online\" (true or false), and \"remote\" (true or false) for "
                     "online");
  }
  const bool isRemote = remote != body.end() && remote->get<bool>();
  parts_.gem->operatorControl(online->get<bool>(), isRemote);
  call.detail = online->get<bool>() ? (isRemote ? "online remote" : "online local") : "offline";
  sendJson(response, 200, json{{"message", "the host's control: " + call.detail}});
}

void StationServer::gemAnswer(Call& call, http::Response& response) {
  if (parts_.gem == nullptr) {
    return sendError(response, 409, "the station has no SECS/GEM interface");
  }
  json body;
  if (!bodyOf(call.request, response, body)) return;
  const auto text = body.find("text");
  if (text == body.end() || !text->is_string() || text->get<std::string>().empty()) {
    return sendError(response, 400, "give the answer as \"text\"");
  }
  parts_.gem->operatorAnswer(text->get<std::string>());
  sendJson(response, 200, json{{"message", "sent to the host"}});
}
