// The station's HTTP server over cpp-httplib: every request, whatever its method and path, goes to
// the one handler, which routes it itself.
#include <httplib.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "station/http/Http.h"

namespace http {

namespace {

Request convert(const httplib::Request& from) {
  Request request;
  request.method = from.method;
  request.path = from.path;
  request.body = from.body;
  request.remoteAddress = from.remote_addr;
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

// The last OpenSSL error, in words.
std::string sslError() {
  char text[256] = "";
  ERR_error_string_n(ERR_get_error(), text, sizeof text);
  return text;
}

// TLS 1.2 and later, with the certificate chain and key of the PEM files.
std::unique_ptr<httplib::Server> tlsServer(const Tls& tls, std::string& problem) {
  auto server = std::make_unique<httplib::SSLServer>([&](SSL_CTX& context) {
    if (SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION) != 1) {
      problem = "cannot restrict TLS to 1.2 and later: " + sslError();
    } else if (SSL_CTX_use_certificate_chain_file(&context, tls.certificateFile.c_str()) != 1) {
      problem = "cannot read the certificate " + tls.certificateFile + ": " + sslError();
    } else if (SSL_CTX_use_PrivateKey_file(&context, tls.keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
      problem = ERR_GET_REASON(ERR_peek_error()) == X509_R_KEY_VALUES_MISMATCH
                    ? "the key " + tls.keyFile + " is not the certificate's"
                    : "cannot read the key " + tls.keyFile + ": " + sslError();
    } else if (SSL_CTX_check_private_key(&context) != 1) {
      problem = "the key " + tls.keyFile + " is not the certificate's";
    } else {
      SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
      return true;
    }
    return false;
  });
  if (problem.empty() && !server->is_valid()) problem = "cannot set up TLS: " + sslError();
  return server;
}

class HttplibServer final : public Server {
 public:
  HttplibServer(Handler handler, Refusal refusal, Limits limits, const Tls* tls)
      : handler_(std::move(handler)),
        refusal_(std::move(refusal)),
        server_(tls != nullptr ? tlsServer(*tls, problem_) : std::make_unique<httplib::Server>()),
        httplib_(*server_) {
    const std::size_t threads = limits.maxConnections;
    httplib_.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    httplib_.set_payload_max_length(limits.maxBody);
    httplib_.set_keep_alive_max_count(100);
    httplib_.set_tcp_nodelay(true);
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
    httplib_.Get(".*", dispatch);
    httplib_.Post(".*", reading);
    httplib_.Put(".*", reading);
    httplib_.Patch(".*", reading);
    httplib_.Delete(".*", reading);
    httplib_.Options(".*", dispatch);
    // What httplib refuses itself (an oversized body, a malformed request) is answered by the
    // refusal too.
    httplib_.set_error_handler(httplib::Server::HandlerWithResponse(
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
    httplib_.set_exception_handler(
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
    if (!problem_.empty()) return -1;
    if (port == 0) return httplib_.bind_to_any_port(host);
    return httplib_.bind_to_port(host, port) ? port : -1;
  }
  void serve() override { httplib_.listen_after_bind(); }
  void stop() override { httplib_.stop(); }
  std::string problem() const override { return problem_; }

 private:
  const Handler handler_;
  const Refusal refusal_;
  std::string problem_;
  std::unique_ptr<httplib::Server> server_;
  httplib::Server& httplib_;
};

}  // namespace

std::unique_ptr<Server> makeHttplibServer(Handler handler, Refusal refusal, Limits limits,
                                          const Tls* tls) {
  return std::make_unique<HttplibServer>(std::move(handler), std::move(refusal), limits, tls);
}

}  // namespace http
