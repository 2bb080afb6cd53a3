// The station's HTTP server over cpp-httplib: every request, whatever its method and path, goes to
// the one handler, which routes it itself.
#include <httplib.h>

#include "station/http/Http.h"

namespace http {

namespace {

Request convert(const httplib::Request& from) {
  Request request;
  request.method = from.method;
  request.path = from.path;
  request.body = from.body;
  for (const auto& [name, value] : from.headers) request.headers.emplace(lowerCase(name), value);
  for (const auto& [name, value] : from.params) request.params.emplace(name, value);
  return request;
}

void apply(Response& from, httplib::Response& to) {
  to.status = from.status;
  for (const auto& [name, value] : from.headers) to.set_header(name, value);
  if (!from.stream) {
    to.set_content(from.body, from.contentType);
    return;
  }
  to.set_chunked_content_provider(
      from.contentType,
      [stream = std::move(from.stream)](std::size_t, httplib::DataSink& sink) {
        return stream([&sink](const std::string& text) {
          return text.empty() || sink.write(text.data(), text.size());
        });
      },
      [ended = std::move(from.streamEnded)](bool) {
        if (ended) ended();
      });
}

class HttplibServer final : public Server {
 public:
  HttplibServer(Handler handler, Refusal refusal, Limits limits)
      : handler_(std::move(handler)), refusal_(std::move(refusal)) {
    const std::size_t threads = limits.maxConnections;
    server_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server_.set_payload_max_length(limits.maxBody);
    server_.set_keep_alive_max_count(100);
    server_.set_tcp_nodelay(true);
    const auto dispatch = [this](const httplib::Request& from, httplib::Response& to) {
      Response response;
      handler_(convert(from), response);
      apply(response, to);
    };
    // The methods with a body read it here rather than have httplib read it first: a request
    // with neither Content-Length nor Transfer-Encoding has none (RFC 9112, 6.3), where httplib
    // would read one until the peer closes, and refuse the request when its read times out.
    const auto reading = [this](const httplib::Request& from, httplib::Response& to,
                                const httplib::ContentReader& read) {
      Request request = convert(from);
      if (from.has_header("Content-Length") || from.has_header("Transfer-Encoding")) {
        const bool whole = read([&request](const char* data, std::size_t size) {
          request.body.append(data, size);
          return true;
        });
        if (!whole) {
          // httplib has set 413 for a body over the limit; the error handler answers.
          if (to.status < 400) to.status = 400;
          return;
        }
      }
      Response response;
      handler_(request, response);
      apply(response, to);
    };
    server_.Get(".*", dispatch);
    server_.Post(".*", reading);
    server_.Put(".*", reading);
    server_.Patch(".*", reading);
    server_.Delete(".*", reading);
    server_.Options(".*", dispatch);
    // What httplib refuses itself (an oversized body, a malformed request) is answered by the
    // refusal too.
    server_.set_error_handler(httplib::Server::HandlerWithResponse(
        [this](const httplib::Request&, httplib::Response& to) {
          if (!to.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
          Response response;
          refusal_(to.status,
                   to.status == 413   ? "the request body is too large"
                   : to.status == 400 ? "the request is malformed"
                                      : "the request was refused",
                   response);
          apply(response, to);
          return httplib::Server::HandlerResponse::Handled;
        }));
    server_.set_exception_handler(
        [this](const httplib::Request&, httplib::Response& to, std::exception_ptr error) {
          std::string what = "internal error";
          try {
            if (error) std::rethrow_exception(error);
          } catch (const std::exception& thrown) {
            what += std::string(": ") + thrown.what();
          } catch (...) {
          }
          Response response;
          refusal_(500, what, response);
          apply(response, to);
        });
  }
  ~HttplibServer() override { stop(); }

  int bind(const std::string& host, int port) override {
    if (port == 0) return server_.bind_to_any_port(host);
    return server_.bind_to_port(host, port) ? port : -1;
  }
  void serve() override { server_.listen_after_bind(); }
  void stop() override { server_.stop(); }

 private:
  const Handler handler_;
  const Refusal refusal_;
  httplib::Server server_;
};

}  // namespace

std::unique_ptr<Server> makeHttplibServer(Handler handler, Refusal refusal, Limits limits) {
  return std::make_unique<HttplibServer>(std::move(handler), std::move(refusal), limits);
}

}  // namespace http
