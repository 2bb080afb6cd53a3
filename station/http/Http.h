// The station's view of HTTP: a request, a response, and a server that hands every request to one
// handler. Two servers implement it: one over cpp-httplib, and one of our own over plain sockets
// for where cpp-httplib isn't available as a library (the Windows build).
#ifndef ATE_STATION_HTTP_HTTP_H_
#define ATE_STATION_HTTP_HTTP_H_

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace http {

struct Request {
  std::string method;                          // as sent: "GET", "POST", ...
  std::string path;                            // decoded, without the query
  std::map<std::string, std::string> headers;  // names in lower case; the first of repeated ones
  std::map<std::string, std::string> params;   // the query's, decoded; the first of repeated ones
  std::string body;
  std::string remoteAddress;  // where the request came from ("127.0.0.1")

  // The header's value, or "" when it isn't there; name in any case.
  std::string header(const std::string& name) const;
  std::string param(const std::string& name) const;
  bool hasParam(const std::string& name) const { return params.count(name) != 0; }
};

// Sends text on a streamed response; false once the peer has gone.
using StreamWrite = std::function<bool(const std::string& text)>;

struct Response {
  int status = 200;
  std::string contentType;
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // Set for a body that is sent as it comes (an event stream): called again and again, each time
  // writing what it has (or nothing), until it returns false or the peer goes.
  std::function<bool(const StreamWrite& write)> stream;
  // Called once when a streamed response is over, however it ended.
  std::function<void()> streamEnded;

  void setHeader(const std::string& name, const std::string& value) {
    headers.emplace_back(name, value);
  }
  void setContent(std::string content, std::string type) {
    body = std::move(content);
    contentType = std::move(type);
  }
};

using Handler = std::function<void(const Request&, Response&)>;
// Fills the response for a request the server refuses itself (413, 400, ...) or for a handler that
// threw (500); message says why in words.
using Refusal = std::function<void(int status, const std::string& message, Response&)>;

struct Limits {
  std::size_t maxBody = 16384;      // bytes; a bigger body is refused with 413
  std::size_t maxConnections = 24;  // served at once
};

// Serving over TLS (1.2 and later only): the PEM files of the certificate, with its chain, and of
// its private key.
struct Tls {
  std::string certificateFile;
  std::string keyFile;
};

class Server {
 public:
  virtual ~Server() = default;
  // Binds the listening socket on host ("127.0.0.1", "::1", "0.0.0.0", a name); port 0 takes any
  // free one. The port bound, or -1.
  virtual int bind(const std::string& host, int port) = 0;
  // Serves until stop(); call after bind(), from one thread.
  virtual void serve() = 0;
  // Ends serve() and every open connection, streams too. Any thread may call it.
  virtual void stop() = 0;
  // Why the server can't serve (its TLS set-up failed, say); empty when it can.
  virtual std::string problem() const { return ""; }
};

// The server over plain sockets; every platform has it. With tls, over the platform's TLS where
// the build has it (SChannel on Windows).
std::unique_ptr<Server> makeSocketServer(Handler handler, Refusal refusal, Limits limits,
                                         const Tls* tls = nullptr);
// The server this build serves with; over TLS when tls is given.
std::unique_ptr<Server> makeServer(Handler handler, Refusal refusal, Limits limits,
                                   const Tls* tls = nullptr);

// What a request's head (its request line and header lines, without the blank line that ends
// them) says, for a server of our own that reads it off a connection.
struct RequestHead {
  int status = 0;            // 0: a request to serve; else the status it is refused with
  std::string message;       // why it is refused
  std::size_t bodySize = 0;  // bytes of body that follow (for a refusal too, when known)
  bool keepAlive = false;    // whether the connection stays open after the answer
};
// Reads head into request (method, path, params, headers); a body over maxBody is refused.
RequestHead parseRequestHead(const std::string& head, std::size_t maxBody, Request& request);

// %XX escapes decoded; with plus true, '+' is a space too (a query's convention).
std::string decode(const std::string& text, bool plus);
// A query string's parameters ("a=1&b=x%20y"), decoded; the first of repeated names wins.
std::map<std::string, std::string> parseQuery(const std::string& query);
std::string lowerCase(std::string text);
// "OK", "Not Found", ... for the statuses the station sends.
const char* reasonPhrase(int status);

}  // namespace http

#endif  // ATE_STATION_HTTP_HTTP_H_
