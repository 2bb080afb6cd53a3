// Builds whose own server has no TLS: Linux serves TLS through cpp-httplib instead.
#include "station/http/Channel.h"

namespace http {

std::unique_ptr<TlsServerContext> makeTlsServerContext(const Tls&, std::string& error) {
  error = "this build's own HTTP server has no TLS (build with cpp-httplib for it)";
  return nullptr;
}

}  // namespace http
