#include "tests/support/HttpClient.h"

#include <chrono>

#include "station/http/Http.h"

namespace {

constexpr auto READ_WAIT = std::chrono::seconds(20);

// The bytes of one connection, read as they are needed.
class Reader {
 public:
  Reader(const http::Socket& socket, const std::atomic<bool>& stopping)
      : socket_(socket), stopping_(stopping) {}

  // More bytes into buffer; false at the end, on failure, on time or when stopped.
  bool more() { return socket_.receiveSome(buffer, READ_WAIT, stopping_); }
  // The text up to the next separator, which is dropped; false when the connection ends first.
  bool until(const std::string& separator, std::string& text) {
    std::size_t at;
    while ((at = buffer.find(separator)) == std::string::npos) {
      if (!more()) return false;
    }
    text = buffer.substr(0, at);
    buffer.erase(0, at + separator.size());
    return true;
  }

  std::string buffer;

 private:
  const http::Socket& socket_;
  const std::atomic<bool>& stopping_;
};

}  // namespace

std::string HttpResult::header(const std::string& name) const {
  const auto found = headers.find(http::lowerCase(name));
  return found == headers.end() ? std::string() : found->second;
}

HttpResult HttpClient::send(const std::string& method, const std::string& path,
                            const HttpHeaders& headers, const std::string& body) {
  std::string request = method + " " + path + " HTTP/1.1\r\n";
  bool host = false;
  for (const auto& [name, value] : headers) {
    request += name + ": " + value + "\r\n";
    host = host || http::lowerCase(name) == "host";
  }
  if (!host) request += "Host: " + host_ + ":" + std::to_string(port_) + "\r\n";
  if (!body.empty() || method == "POST" || method == "PUT") {
    request +=
        "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += "Connection: close\r\n\r\n" + body;
  HttpResult result;
  exchange(request, result, [&result](const std::string& piece) {
    result.body += piece;
    return true;
  });
  return result;
}

int HttpClient::stream(const std::string& path,
                       const std::function<bool(const std::string&)>& receive) {
  HttpResult result;
  return exchange("GET " + path + " HTTP/1.1\r\nHost: " + host_ + ":" + std::to_string(port_) +
                      "\r\nConnection: close\r\n\r\n",
                  result, receive);
}

void HttpClient::stop() {
  stopping_ = true;
  std::lock_guard<std::mutex> lock(mutex_);
  if (streaming_ != nullptr) streaming_->shutdown();
}

int HttpClient::exchange(const std::string& request, HttpResult& result,
                         const std::function<bool(const std::string&)>& receive) {
  http::Socket socket = http::Socket::connect(host_, port_);
  if (!socket.valid()) return 0;
  socket.setNoDelay();
  if (!socket.sendAll(request)) return 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return 0;
    streaming_ = &socket;
  }
  struct Forget {
    HttpClient& client;
    ~Forget() {
      std::lock_guard<std::mutex> lock(client.mutex_);
      client.streaming_ = nullptr;
    }
  } forget{*this};

  Reader reader(socket, stopping_);
  std::string head;
  if (!reader.until("\r\n\r\n", head) || head.compare(0, 9, "HTTP/1.1 ") != 0) return 0;
  int status = 0;
  try {
    status = std::stoi(head.substr(9, 3));
  } catch (const std::exception&) {
    return 0;
  }
  for (std::size_t at = head.find("\r\n"); at != std::string::npos;) {
    const std::size_t end = head.find("\r\n", at + 2);
    const std::string field = head.substr(at + 2, end - at - 2);
    const std::size_t colon = field.find(':');
    if (colon != std::string::npos) {
      const std::size_t value = field.find_first_not_of(' ', colon + 1);
      result.headers.emplace(http::lowerCase(field.substr(0, colon)),
                             value == std::string::npos ? "" : field.substr(value));
    }
    at = end;
  }

  if (http::lowerCase(result.header("Transfer-Encoding")) == "chunked") {
    for (std::string size; reader.until("\r\n", size);) {
      const std::size_t length = std::stoul(size, nullptr, 16);
      while (reader.buffer.size() < length + 2) {
        if (!reader.more()) return 0;
      }
      if (length == 0) break;
      const bool more = receive(reader.buffer.substr(0, length));
      reader.buffer.erase(0, length + 2);
      if (!more) break;
    }
  } else if (!result.header("Content-Length").empty()) {
    const std::size_t length = std::stoul(result.header("Content-Length"));
    while (reader.buffer.size() < length) {
      if (!reader.more()) return 0;
    }
    receive(reader.buffer.substr(0, length));
  } else {
    // To the end of the connection: an event stream of our own server.
    do {
      if (!reader.buffer.empty() && !receive(reader.buffer)) break;
      reader.buffer.clear();
    } while (reader.more());
  }
  result.status = status;
  return status;
}
