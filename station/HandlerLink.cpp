#include "station/HandlerLink.h"

#include <algorithm>
#include <vector>

#include "handler/HandlerProtocol.h"

HandlerLink::HandlerLink(HandlerLinkOptions options, Events events)
    : options_(std::move(options)), events_(std::move(events)) {}

HandlerLink::~HandlerLink() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (socket_ != nullptr) socket_->shutdown();
  }
  if (thread_.joinable()) thread_.join();
}

void HandlerLink::start() { thread_ = std::thread(&HandlerLink::loop, this); }

std::string HandlerLink::address() const {
  return options_.host + ":" + std::to_string(options_.port);
}

void HandlerLink::loop() {
  std::chrono::milliseconds pause = options_.firstPause;
  bool saidDown = false;
  while (!stopping_) {
    http::Socket socket = http::Socket::connect(options_.host, options_.port);
    if (socket.valid()) {
      socket.setSendTimeout(std::chrono::seconds(5));
      // A line to the handler goes out at once, not after the handler acknowledges the last one.
      socket.setNoDelay();
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        socket_ = &socket;
      }
      if (socket.sendAll(handler::helloLine(options_.version) + "\n")) {
        connected_ = true;
        saidDown = false;
        pause = options_.firstPause;
        if (events_.onConnection)
          events_.onConnection(true, "connected to the handler at " + address());
        serve(socket);
        connected_ = false;
      }
      {
        std::lock_guard<std::mutex> lock(sendMutex_);
        socket_ = nullptr;
      }
      if (stopping_) break;
      if (events_.onConnection) {
        events_.onConnection(
            false, "the connection to the handler at " + address() + " dropped; reconnecting");
      }
      saidDown = true;
    } else if (!saidDown) {
      if (events_.onConnection) {
        events_.onConnection(false, "cannot reach the handler at " + address() + "; retrying");
      }
      saidDown = true;
    }
    // The pause is waited in small steps, so that the link stops at once when told.
    for (auto left = pause; left.count() > 0 && !stopping_; left -= std::chrono::milliseconds(50)) {
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(50)));
    }
    pause = std::min(pause * 2, options_.maxPause);
  }
}

void HandlerLink::serve(http::Socket& socket) {
  handler::LineSplitter splitter;
  std::string buffer;
  std::vector<handler::LineSplitter::Line> lines;
  while (!stopping_) {
    buffer.clear();
    if (!socket.receiveSome(buffer, std::chrono::hours(24 * 365), stopping_)) return;
    lines.clear();
    splitter.add(buffer, lines);
    for (const handler::LineSplitter::Line& line : lines) {
      if (events_.onLine) events_.onLine(line.text, line.overlong);
    }
  }
}

bool HandlerLink::send(const std::string& line) {
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (socket_ == nullptr || !connected_) return false;
  if (socket_->sendAll(line + "\n")) return true;
  // A failed send leaves the connection in no known state: it is started afresh.
  socket_->shutdown();
  return false;
}
