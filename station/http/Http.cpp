#include "Http.h"

#include <algorithm>
#include <cctype>

namespace http {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string Request::header(const std::string& name) const {
  const auto found = headers.find(lowerCase(name));
  return found == headers.end() ? std::string() : found->second;
}

std::string Request::param(const std::string& name) const {
  const auto found = params.find(name);
  return found == params.end() ? std::string() : found->second;
}

std::string decode(const std::string& text, bool plus) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexDigit(text[i + 1]) >= 0 &&
        hexDigit(text[i + 2]) >= 0) {
      decoded += static_cast<char>(hexDigit(text[i + 1]) * 16 + hexDigit(text[i + 2]));
      i += 2;
    } else {
      decoded += plus && text[i] == '+' ? ' ' : text[i];
    }
  }
  return decoded;
}

std::map<std::string, std::string> parseQuery(const std::string& query) {
  std::map<std::string, std::string> params;
  std::size_t at = 0;
  while (at <= query.size()) {
    std::size_t end = query.find('&', at);
    if (end == std::string::npos) end = query.size();
    const std::string pair = query.substr(at, end - at);
    if (!pair.empty()) {
      const std::size_t equals = pair.find('=');
      params.emplace(decode(pair.substr(0, equals), true),
                     equals == std::string::npos ? "" : decode(pair.substr(equals + 1), true));
    }
    at = end + 1;
  }
  return params;
}

std::string lowerCase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

const char* reasonPhrase(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 422:
      return "Unprocessable Entity";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 501:
      return "Not Implemented";
    case 503:
      return "Service Unavailable";
    case 504:
      return "Gateway Timeout";
    case 505:
      return "HTTP Version Not Supported";
    default:
      return "Unknown";
  }
}

#ifdef ATE_STATION_HTTPLIB
std::unique_ptr<Server> makeHttplibServer(Handler handler, Refusal refusal, Limits limits);
#endif

std::unique_ptr<Server> makeServer(Handler handler, Refusal refusal, Limits limits) {
#ifdef ATE_STATION_HTTPLIB
  return makeHttplibServer(std::move(handler), std::move(refusal), limits);
#else
  return makeSocketServer(std::move(handler), std::move(refusal), limits);
#endif
}

}  // namespace http
