#include "station/http/Http.h"

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

std::string trim(const std::string& text) {
  const std::size_t begin = text.find_first_not_of(" \t");
  if (begin == std::string::npos) return "";
  return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

RequestHead refused(int status, std::string message) {
  RequestHead head;
  head.status = status;
  head.message = std::move(message);
  return head;
}

}  // namespace

RequestHead parseRequestHead(const std::string& head, std::size_t maxBody, Request& request) {
  std::size_t lineEnd = head.find("\r\n");
  const std::string line = head.substr(0, lineEnd);
  const std::size_t space1 = line.find(' ');
  const std::size_t space2 = space1 == std::string::npos ? space1 : line.find(' ', space1 + 1);
  if (space1 == 0 || space2 == std::string::npos || line[space1 + 1] != '/' ||
      line.find(' ', space2 + 1) != std::string::npos) {
    return refused(400, "the request line is malformed");
  }
  const std::string version = line.substr(space2 + 1);
  if (version != "HTTP/1.1" && version != "HTTP/1.0") {
    return refused(505, "only HTTP/1.0 and HTTP/1.1 are served");
  }
  request.method = line.substr(0, space1);
  const std::string target = line.substr(space1 + 1, space2 - space1 - 1);
  const std::size_t question = target.find('?');
  request.path = decode(target.substr(0, question), false);
  if (question != std::string::npos) request.params = parseQuery(target.substr(question + 1));

  while (lineEnd != std::string::npos) {
    const std::size_t start = lineEnd + 2;
    lineEnd = head.find("\r\n", start);
    const std::string field =
        head.substr(start, lineEnd == std::string::npos ? lineEnd : lineEnd - start);
    const std::size_t colon = field.find(':');
    // No name, or white space in or before it (a folded line): refused, as a proxy in front may
    // read the same bytes otherwise.
    if (colon == std::string::npos || colon == 0 || field.find_first_of(" \t") < colon) {
      return refused(400, "a header line is malformed");
    }
    request.headers.emplace(lowerCase(field.substr(0, colon)), trim(field.substr(colon + 1)));
  }

  RequestHead parsed;
  const std::string connection = lowerCase(request.header("Connection"));
  parsed.keepAlive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                           : connection.find("keep-alive") != std::string::npos;
  if (!request.header("Transfer-Encoding").empty()) {
    return refused(501, "a request body must come with its Content-Length");
  }
  const std::string length = request.header("Content-Length");
  if (!length.empty()) {
    if (length.size() > 18 || length.find_first_not_of("0123456789") != std::string::npos) {
      return refused(400, "the Content-Length is not a number");
    }
    parsed.bodySize = std::stoull(length);
    if (parsed.bodySize > maxBody) {
      RequestHead tooLarge = refused(413, "the request body is too large");
      tooLarge.bodySize = parsed.bodySize;
      return tooLarge;
    }
  }
  return parsed;
}

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
std::unique_ptr<Server> makeHttplibServer(Handler handler, Refusal refusal, Limits limits,
                                          const Tls* tls);
#endif

std::unique_ptr<Server> makeServer(Handler handler, Refusal refusal, Limits limits,
                                   const Tls* tls) {
#ifdef ATE_STATION_HTTPLIB
  return makeHttplibServer(std::move(handler), std::move(refusal), limits, tls);
#else
  return makeSocketServer(std::move(handler), std::move(refusal), limits, tls);
#endif
}

}  // namespace http
