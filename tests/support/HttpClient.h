// A small HTTP/1.1 client for the station's tests, over the station's own sockets: one connection
// per request, Content-Length, chunked and close-delimited bodies.
#ifndef ATE_TESTS_SUPPORT_HTTPCLIENT_H_
#define ATE_TESTS_SUPPORT_HTTPCLIENT_H_

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "station/http/Socket.h"

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpResult {
  int status = 0;  // 0: no answer (no connection, a broken answer, or the wait ran out)
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;

  explicit operator bool() const { return status != 0; }
  std::string header(const std::string& name) const;
};

class HttpClient {
 public:
  HttpClient(std::string host, int port) : host_(std::move(host)), port_(port) {}

  HttpResult get(const std::string& path, const HttpHeaders& headers = {}) {
    return send("GET", path, headers, "");
  }
  HttpResult post(const std::string& path, const HttpHeaders& headers, const std::string& body) {
    return send("POST", path, headers, body);
  }
  // Any request; a body goes as application/json. Without a Host among headers, the address's.
  HttpResult send(const std::string& method, const std::string& path, const HttpHeaders& headers,
                  const std::string& body);
  // A GET whose body goes to receive piece by piece, as it arrives, until receive returns false,
  // the body ends or stop() is called. The status, or 0.
  int stream(const std::string& path, const std::function<bool(const std::string&)>& receive);
  // Ends a stream() running on another thread.
  void stop();

 private:
  int exchange(const std::string& request, HttpResult& result,
               const std::function<bool(const std::string&)>& receive);

  const std::string host_;
  const int port_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;                   // guards streaming_
  http::Socket* streaming_ = nullptr;  // the socket of a running stream()
};

#endif  // ATE_TESTS_SUPPORT_HTTPCLIENT_H_
