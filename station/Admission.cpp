#include "station/Admission.h"

#include "station/http/Http.h"

namespace {

// The host part of a Host header: "127.0.0.1:8080" -> "127.0.0.1", "[::1]:80" -> "::1".
std::string hostName(const std::string& header) {
  if (!header.empty() && header[0] == '[') {
    const std::size_t close = header.find(']');
    return close == std::string::npos ? header : header.substr(1, close - 1);
  }
  return header.substr(0, header.find(':'));
}

}  // namespace

bool isLoopback(const std::string& host) {
  if (host == "localhost" || host == "::1") return true;
  // 127.0.0.0/8 as a dotted address: a name such as "127.0.0.1.example.com" is anybody's.
  if (host.compare(0, 4, "127.") != 0) return false;
  int dots = 0;
  for (std::size_t i = 0; i < host.size(); ++i) {
    if (host[i] == '.') {
      if (i + 1 == host.size() || host[i + 1] == '.' || ++dots > 3) return false;
    } else if (host[i] < '0' || host[i] > '9') {
      return false;
    }
  }
  return dots == 3;
}

Verdict admit(const http::Request& request, const AdmissionPolicy& policy) {
  if (request.method != "GET" && request.method != "POST") {
    return {405, "only GET and POST are served"};
  }
  const std::string host = request.header("Host");
  // On loopback, a page from any other site that reaches us through a name of its own (DNS
  // rebinding) comes with that name as its Host.
  if (isLoopback(policy.listenHost) && !isLoopback(hostName(host))) {
    return {403, "this station answers only to its loopback address"};
  }
  const bool program = request.header("Authorization").compare(0, 7, "Bearer ") == 0;
  const std::string origin = (policy.tls ? "https://" : "http://") + host;
  if (request.method == "POST" && !program && request.header("Origin") != origin) {
    return {403, "a request that changes anything must come from the station's page"};
  }
  return {};
}
