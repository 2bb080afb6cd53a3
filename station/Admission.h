// The checks every request to the station passes before its handler, so that nobody but the
// operator's own page drives the station: the method, the Host header on loopback (against DNS
// rebinding), the token on a station that has one, and the Origin of anything that changes
// something.
#ifndef ATE_STATION_ADMISSION_H_
#define ATE_STATION_ADMISSION_H_

#include <string>

namespace http {
struct Request;
}

struct AdmissionPolicy {
  std::string listenHost;  // the address the station listens on
  std::string token;       // empty: none asked (loopback only)
};

// The refusal of a request: status 0 when it is admitted.
struct Verdict {
  int status = 0;
  std::string message;
  bool admitted() const { return status == 0; }
};

Verdict admit(const http::Request& request, const AdmissionPolicy& policy);

// Whether host (an address or name, without port) is this machine's loopback.
bool isLoopback(const std::string& host);

// The name of the cookie in which the page keeps the token.
inline constexpr const char* TOKEN_COOKIE = "station_token";

#endif  // ATE_STATION_ADMISSION_H_
