// The checks a request passes before the station's handlers see it: method, Host on loopback,
// and the Origin of a POST from a page.
#include <gtest/gtest.h>

#include "station/Admission.h"
#include "station/http/Http.h"

namespace {

TEST(Admission, AdmitsOnlyTheStationsOwnPage) {
  const AdmissionPolicy loopback{"127.0.0.1", false};
  const AdmissionPolicy everywhere{"0.0.0.0", true};  // beyond loopback, over TLS
  const std::string local = "127.0.0.1:8080";
  const std::string page = "http://127.0.0.1:8080";
  const std::string bearer = "Bearer ate_x";
  struct Case {
    const char* what;
    const AdmissionPolicy& policy;
    std::string method, path;
    std::string host, origin, authorization;  // "" for none
    int status;                               // 0: admitted
  };
  for (const Case& c : {
           Case{"a GET on loopback", loopback, "GET", "/api/state", local, "", "", 0},
           Case{"localhost by name", loopback, "GET", "/", "localhost:8080", "", "", 0},
           Case{"IPv6 loopback", loopback, "GET", "/", "[::1]:8080", "", "", 0},
           Case{"127/8 all of it", loopback, "GET", "/", "127.1.2.3", "", "", 0},
           Case{"PUT", loopback, "PUT", "/api/state", local, page, "", 405},
           Case{"OPTIONS", loopback, "OPTIONS", "/", local, "", "", 405},
           Case{"another name for loopback", loopback, "GET", "/", "evil.example:8080", "", "",
                403},
           Case{"a name that begins like loopback", loopback, "GET", "/", "localhost.evil", "", "",
                403},
           Case{"an IPv6 address not loopback", loopback, "GET", "/", "[::2]:8080", "", "", 403},
           Case{"a name under loopback's address", loopback, "GET", "/",
                "127.0.0.1.evil.example:8080", "", "", 403},
           Case{"no Host", loopback, "GET", "/", "", "", "", 403},
           Case{"any Host beyond loopback", everywhere, "GET", "/api/state", "station.example:8080",
                "", "", 0},
           Case{"a POST from the page", loopback, "POST", "/api/run", local, page, "", 0},
           Case{"a POST with no Origin", loopback, "POST", "/api/run", local, "", "", 403},
           Case{"a POST from another site", loopback, "POST", "/api/run", local,
                "http://evil.example", "", 403},
           Case{"a POST from another port", loopback, "POST", "/api/run", local,
                "http://127.0.0.1:9090", "", 403},
           Case{"a POST over https to a plain station", loopback, "POST", "/api/run", local,
                "https://127.0.0.1:8080", "", 403},
           Case{"a POST from the page over TLS", everywhere, "POST", "/api/run", "station.example",
                "https://station.example", "", 0},
           Case{"a plain http page for a TLS station", everywhere, "POST", "/api/run",
                "station.example", "http://station.example", "", 403},
           Case{"a program with its API token needs no Origin", everywhere, "POST", "/api/run",
                "station.example", "", bearer, 0},
           Case{"nor does it from another site's page, which can't send it", loopback, "POST",
                "/api/run", local, "http://evil.example", bearer, 0},
           Case{"a Basic header is no token", loopback, "POST", "/api/run", local, "", "Basic eDp5",
                403},
       }) {
    http::Request request;
    request.method = c.method;
    request.path = c.path;
    if (!c.host.empty()) request.headers["host"] = c.host;
    if (!c.origin.empty()) request.headers["origin"] = c.origin;
    if (!c.authorization.empty()) request.headers["authorization"] = c.authorization;
    const Verdict verdict = admit(request, c.policy);
    EXPECT_EQ(verdict.status, c.status) << c.what << ": " << verdict.message;
    EXPECT_EQ(verdict.admitted(), c.status == 0) << c.what;
    EXPECT_EQ(verdict.message.empty(), c.status == 0) << c.what;
  }
}

TEST(Admission, KnowsLoopbackAddresses) {
  for (const auto& [host, loopback] : std::initializer_list<std::pair<const char*, bool>>{
           {"127.0.0.1", true},
           {"127.255.0.9", true},
           {"localhost", true},
           {"::1", true},
           {"128.0.0.1", false},
           {"0.0.0.0", false},
           {"::", false},
           {"10.127.0.1", false},
           {"127.0.0.1.example.com", false},
           {"127.0.0.1.", false},
           {"127.0..1", false},
           {"127.0.1", false},
           {"localhost.example", false},
           {"", false},
       }) {
    EXPECT_EQ(isLoopback(host), loopback) << host;
  }
}

}  // namespace
