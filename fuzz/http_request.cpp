// The station's own HTTP server reading a request's head from any bytes: never a crash, a hang
// or a sanitizer report. A head it serves has a method, a path from the root and a body within
// the limit; one it refuses has a status and a reason.
#include <cstdint>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "station/http/Http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t MAX_BODY = 16384;
  const std::string head(reinterpret_cast<const char*>(data), size);
  http::Request request;
  const http::RequestHead parsed = http::parseRequestHead(head, MAX_BODY, request);
  if (parsed.status == 0) {
    if (request.method.empty() || request.path.empty() || request.path[0] != '/') {
      fuzz::fail("served a request without a method or a path from the root: \"" + request.method +
                 "\" \"" + request.path + "\"");
    }
    if (parsed.bodySize > MAX_BODY) fuzz::fail("served a body over the limit");
    for (const auto& [name, value] : request.headers) {
      if (name.empty() || name != http::lowerCase(name)) fuzz::fail("header name \"" + name + "\"");
    }
  } else if (parsed.status < 400 || parsed.status > 599 || parsed.message.empty()) {
    fuzz::fail("refused with " + std::to_string(parsed.status) + " \"" + parsed.message + "\"");
  }
  http::parseQuery(head);
  if (http::decode(head, false).size() > head.size()) fuzz::fail("decoding grew the text");
  return 0;
}
