// The checks every request to the station passes before its handler, so that nobody but the
// operator's own page drives the station: the method, the Host header on loopback (against DNS
// rebinding), and the Origin of anything that changes something (a request with an API token
// comes from a program, which no other site's page can send). Who may do what is the accounts'
// business (station/access/).
#ifndef ATE_STATION_ADMISSION_H_
#define ATE_STATION_ADMISSION_H_

#include <string>

namespace http {
struct Request;
}

struct AdmissionPolicy {
  std::string listenHost;  // the address the station listens on
  bool tls = false;        // served over TLS: the page's origin is https://
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

#endif  // ATE_STATION_ADMISSION_H_
