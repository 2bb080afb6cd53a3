// The checks a request passes before the station's handlers see it: method, Host on loopback,
// token (page link, header or cookie) and the Origin of a POST.
#include <gtest/gtest.h>

#include "station/Admission.h"
#include "station/http/Http.h"

namespace {

TEST(Admission, AdmitsOnlyTheStationsOwnPage) {
  const AdmissionPolicy loopback{"127.0.0.1", ""};
  const AdmissionPolicy loopbackToken{"127.0.0.1", "s3cret"};
  const AdmissionPolicy everywhere{"0.0.0.0", "s3cret"};
  const std::string cookie = std::string(TOKEN_COOKIE) + "=";
  const std::string local = "127.0.0.1:8080";
  const std::string page = "http://127.0.0.1:8080";
  struct Case {
    const char* what;
    const AdmissionPolicy& policy;
    std::string method, path, query;  // query: the token parameter, "" for none
    std::string host, origin;         // "" for none
    std::string tokenHeader, cookie;  // "" for none
    int status;                       // 0: admitted
  };
  for (const Case& c : {
           Case{"a GET on loopback", loopback, "GET", "/api/state", "", local, "", "", "", 0},
           Case{"localhost by name", loopback, "GET", "/", "", "localhost:8080", "", "", "", 0},
           Case{"IPv6 loopback", loopback, "GET", "/", "", "[::1]:8080", "", "", "", 0},
           Case{"127/8 all of it", loopback, "GET", "/", "", "127.1.2.3", "", "", "", 0},
           Case{"PUT", loopback, "PUT", "/api/state", "", local, page, "", "", 405},
           Case{"OPTIONS", loopback, "OPTIONS", "/", "", local, "", "", "", 405},
           Case{"another name for loopback", loopback, "GET", "/", "", "evil.example:8080", "", "",
                "", 403},
           Case{"a name that begins like loopback", loopback, "GET", "/", "", "localhost.evil", "",
                "", "", 403},
           Case{"an IPv6 address not loopback", loopback, "GET", "/", "", "[::2]:8080", "", "", "",
                403},
           Case{"a name under loopback's address", loopback, "GET", "/", "",
                "127.0.0.1.evil.example:8080", "", "", "", 403},
           Case{"no Host", loopback, "GET", "/", "", "", "", "", "", 403},
           Case{"any Host beyond loopback", everywhere, "GET", "/api/state", "",
                "station.example:8080", "", "s3cret", "", 0},
           Case{"no token", everywhere, "GET", "/api/state", "", local, "", "", "", 401},
           Case{"token in the header", loopbackToken, "GET", "/api/state", "", local, "", "s3cret",
                "", 0},
           Case{"wrong token in the header", loopbackToken, "GET", "/api/state", "", local, "",
                "s3creT", "", 401},
           Case{"a prefix of the token", loopbackToken, "GET", "/api/state", "", local, "", "s3c",
                "", 401},
           Case{"the token and more", loopbackToken, "GET", "/api/state", "", local, "", "s3cret!",
                "", 401},
           Case{"token in the cookie", loopbackToken, "GET", "/api/state", "", local, "", "",
                "lang=en; " + cookie + "s3cret", 0},
           Case{"wrong token in the cookie", loopbackToken, "GET", "/api/state", "", local, "", "",
                cookie + "nope", 401},
           Case{"token in another cookie", loopbackToken, "GET", "/api/state", "", local, "", "",
                "x" + cookie + "s3cret", 401},
           Case{"the page's link with the token", loopbackToken, "GET", "/", "s3cret", local, "",
                "", "", 0},
           Case{"the link's token only opens the page", loopbackToken, "GET", "/api/state",
                "s3cret", local, "", "", "", 401},
           Case{"and only for a GET", loopbackToken, "POST", "/", "s3cret", local, page, "", "",
                401},
           Case{"a wrong token in the link", loopbackToken, "GET", "/", "nope", local, "", "", "",
                401},
           Case{"a POST from the page", loopback, "POST", "/api/run", "", local, page, "", "", 0},
           Case{"a POST with no Origin", loopback, "POST", "/api/run", "", local, "", "", "", 403},
           Case{"a POST from another site", loopback, "POST", "/api/run", "", local,
                "http://evil.example", "", "", 403},
           Case{"a POST from another port", loopback, "POST", "/api/run", "", local,
                "http://127.0.0.1:9090", "", "", 403},
           Case{"a POST over https", loopback, "POST", "/api/run", "", local,
                "https://127.0.0.1:8080", "", "", 403},
           Case{"a POST with its token from the page", everywhere, "POST", "/api/run", "",
                "station.example", "http://station.example", "", cookie + "s3cret", 0},
           Case{"the token doesn't excuse another Origin", everywhere, "POST", "/api/run", "",
                "station.example", "http://evil.example", "s3cret", "", 403},
       }) {
    http::Request request;
    request.method = c.method;
    request.path = c.path;
    if (!c.query.empty()) request.params["token"] = c.query;
    if (!c.host.empty()) request.headers["host"] = c.host;
    if (!c.origin.empty()) request.headers["origin"] = c.origin;
    if (!c.tokenHeader.empty()) request.headers["x-station-token"] = c.tokenHeader;
    if (!c.cookie.empty()) request.headers["cookie"] = c.cookie;
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
