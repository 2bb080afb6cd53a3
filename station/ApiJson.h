// Answers of the station's API routes beyond StationServer.cpp (accounts, GEM): JSON bodies, the
// error form {"error": "..."}, and a request body read as a JSON object.
#ifndef ATE_STATION_APIJSON_H_
#define ATE_STATION_APIJSON_H_

#include <nlohmann/json.hpp>
#include <string>

#include "station/http/Http.h"

namespace api {

inline void sendJson(http::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.setContent(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                      "application/json");
}

inline void sendError(http::Response& response, int status, const std::string& message) {
  sendJson(response, status, nlohmann::json{{"error", message}});
}

// The body as a JSON object; false with 400 sent.
inline bool bodyOf(const http::Request& request, http::Response& response, nlohmann::json& body) {
  body = nlohmann::json::parse(request.body.empty() ? "{}" : request.body, nullptr, false);
  if (body.is_object()) return true;
  sendError(response, 400, "the request body must be a JSON object");
  return false;
}

}  // namespace api

#endif  // ATE_STATION_APIJSON_H_
