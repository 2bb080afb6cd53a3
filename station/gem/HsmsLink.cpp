#include "station/gem/HsmsLink.h"

#include <vector>

#include "station/gem/Secs2.h"

using hsms::Header;
using hsms::Message;
using hsms::SType;
using Clock = std::chrono::steady_clock;

namespace {

constexpr auto TICK = std::chrono::milliseconds(20);

}  // namespace

HsmsLink::HsmsLink(HsmsOptions options, Events events)
    : options_(std::move(options)), events_(std::move(events)) {}

HsmsLink::~HsmsLink() { stop(); }

void HsmsLink::stop() {
  stopping_ = true;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ != nullptr) socket_->shutdown();
  }
  if (thread_.joinable()) thread_.join();
}

bool HsmsLink::start(std::string& error) {
  if (!options_.active) {
    listener_ = http::Socket::listen(options_.host, options_.port, boundPort_, error);
    if (!listener_.valid()) return false;
    thread_ = std::thread(&HsmsLink::acceptLoop, this);
  } else {
    thread_ = std::thread(&HsmsLink::connectLoop, this);
  }
  return true;
}

void HsmsLink::note(const std::string& text) const {
  if (events_.onNote) events_.onNote("gem: " + text);
}

std::uint32_t HsmsLink::nextSystem() { return system_++; }

void HsmsLink::pause(std::chrono::milliseconds wait) const {
  for (auto left = wait; left.count() > 0 && !stopping_; left -= TICK) {
    std::this_thread::sleep_for(std::min<std::chrono::milliseconds>(left, TICK));
  }
}

void HsmsLink::setSelected(bool selected) {
  if (selected_.exchange(selected) == selected) return;
  if (events_.onSelected) events_.onSelected(selected);
}

// Passive: the connection being served runs on a thread of its own, so that a second one can be
// answered meanwhile.
void HsmsLink::acceptLoop() {
  std::thread serving;
  std::atomic<bool> busy{false};
  while (!stopping_) {
    if (!listener_.waitReadable(std::chrono::milliseconds(100))) continue;
    http::Socket socket = listener_.accept();
    if (!socket.valid()) continue;
    const std::string peer = socket.peerAddress();
    if (busy) {
      // HSMS-SS has one session: the newcomer's Select gets "connection exhausted".
      socket.setSendTimeout(options_.t6);
      hsms::FrameReader reader(1024);
      Message message;
      const auto deadline = Clock::now() + options_.t7;
      bool waiting = true;
      while (waiting && Clock::now() < deadline && !stopping_) {
        if (!socket.waitReadable(TICK)) continue;
        char chunk[256];
        const long got = socket.receive(chunk, sizeof chunk);
        if (got <= 0) break;
        reader.feed(chunk, static_cast<std::size_t>(got));
        const auto status = reader.next(message);
        if (status == hsms::FrameReader::Status::NEED_MORE) continue;
        if (status == hsms::FrameReader::Status::MESSAGE &&
            message.header.stype == SType::SELECT_REQ) {
          socket.sendAll(hsms::frame(
              Header::control(SType::SELECT_RSP, message.header.system, hsms::SELECT_EXHAUSTED),
              ""));
        }
        waiting = false;
      }
      note("a second connection from " + peer + " refused: the host's connection is taken");
      continue;
    }
    if (serving.joinable()) serving.join();
    busy = true;
    note("the host connected from " + peer);
    serving = std::thread(
        [this, &busy, peer, held = std::make_shared<http::Socket>(std::move(socket))]() mutable {
          serve(*held, false);
          note("the host's connection from " + peer + " ended");
          busy = false;
        });
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (socket_ != nullptr) socket_->shutdown();
  }
  if (serving.joinable()) serving.join();
}

// Active: connect, select within T6, serve; T5 between attempts.
void HsmsLink::connectLoop() {
  bool saidDown = false;
  while (!stopping_) {
    http::Socket socket = http::Socket::connect(options_.host, options_.port);
    if (!socket.valid()) {
      if (!saidDown) {
        note("cannot reach the host at " + options_.host + ":" + std::to_string(options_.port) +
             "; trying again every T5");
      }
      saidDown = true;
      pause(options_.t5);
      continue;
    }
    saidDown = false;
    note("connected to the host at " + options_.host + ":" + std::to_string(options_.port));
    serve(socket, true);
    if (!stopping_) pause(options_.t5);
  }
}

bool HsmsLink::sendRaw(const Header& header, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (socket_ == nullptr) return false;
  if (socket_->sendAll(hsms::frame(header, body))) return true;
  socket_->shutdown();
  return false;
}

bool HsmsLink::send(int stream, int function, bool wait, const std::string& body,
                    ReplyHandler onReply) {
  if (!selected_) return false;
  const std::uint32_t system = nextSystem();
  const Header header = Header::data(options_.deviceId, stream, function, wait, system);
  if (wait) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[system] = Pending{Clock::now() + options_.t3, header, std::move(onReply)};
  }
  if (sendRaw(header, body)) return true;
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.erase(system);
  return false;
}

bool HsmsLink::reply(const Header& primary, int function, const std::string& body) {
  Header header = Header::data(primary.session, primary.stream(), function, false, primary.system);
  return sendRaw(header, body);
}

bool HsmsLink::sendError(int function, const Header& about) {
  // MHEAD / SHEAD: B[10].
  std::string body;
  secs::encode(secs::Item::ofBytes(secs::Format::B, about.bytes()), body);
  return sendRaw(Header::data(options_.deviceId, 9, function, false, nextSystem()), body);
}

void HsmsLink::expire(Clock::time_point now) {
  std::vector<Pending> expired;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = pending_.begin(); it != pending_.end();) {
      if (it->second.deadline <= now) {
        expired.push_back(std::move(it->second));
        it = pending_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (Pending& late : expired) {
    note("no reply to S" + std::to_string(late.request.stream()) + "F" +
         std::to_string(late.request.function()) + " within T3: S9F9 sent");
    sendError(9, late.request);
    if (late.onReply) late.onReply(nullptr);
  }
}

void HsmsLink::serve(http::Socket& socket, bool active) {
  socket.setSendTimeout(options_.t6 + std::chrono::seconds(5));
  socket.setNoDelay();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    socket_ = &socket;
    control_.clear();
  }
  const auto connected = Clock::now();
  if (active) {
    const std::uint32_t system = nextSystem();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      control_[system] = connected + options_.t6;
    }
    sendRaw(Header::control(SType::SELECT_REQ, system), "");
  }
  hsms::FrameReader reader(options_.maxBody);
  Message message;
  std::string buffer;
  auto lastBytes = Clock::now();
  auto nextLinktest = Clock::now() + options_.linktest;
  bool open = true;
  while (open && !stopping_) {
    const auto now = Clock::now();
    expire(now);
    bool late = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      for (const auto& entry : control_) late = late || entry.second <= now;
    }
    if (late) {
      note("no answer to a control message within T6: the connection is closed");
      break;
    }
    if (!selected_ && !active && now - connected > options_.t7) {
      note("not selected within T7: the connection is closed");
      break;
    }
    if (reader.midMessage() && now - lastBytes > options_.t8) {
      note("a message's bytes stopped coming for T8: the connection is closed");
      break;
    }
    if (selected_ && options_.linktest.count() > 0 && now >= nextLinktest) {
      const std::uint32_t system = nextSystem();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        control_[system] = now + options_.t6;
      }
      sendRaw(Header::control(SType::LINKTEST_REQ, system), "");
      nextLinktest = now + options_.linktest;
    }
    if (!socket.waitReadable(TICK)) continue;
    char chunk[65536];
    const long got = socket.receive(chunk, sizeof chunk);
    if (got <= 0) break;
    lastBytes = Clock::now();
    reader.feed(chunk, static_cast<std::size_t>(got));
    for (;;) {
      const auto status = reader.next(message);
      if (status == hsms::FrameReader::Status::NEED_MORE) break;
      if (status == hsms::FrameReader::Status::BROKEN) {
        note("a message shorter than its header: the connection is closed");
        open = false;
        break;
      }
      if (status == hsms::FrameReader::Status::TOO_LONG) {
        note("S" + std::to_string(message.header.stream()) + "F" +
             std::to_string(message.header.function()) + " over " +
             std::to_string(options_.maxBody) + " bytes: S9F11 sent");
        if (selected_) sendError(11, message.header);
        continue;
      }
      if (!handle(message)) {
        open = false;
        break;
      }
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    socket_ = nullptr;
    control_.clear();
  }
  socket.shutdown();
  setSelected(false);
  // The station's open requests get no reply on this connection.
  std::map<std::uint32_t, Pending> dropped;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    dropped.swap(pending_);
  }
  for (auto& entry : dropped) {
    if (entry.second.onReply) entry.second.onReply(nullptr);
  }
}

bool HsmsLink::handle(const Message& message) {
  const Header& h = message.header;
  const auto reject = [&](std::uint8_t reason, std::uint8_t what) {
    sendRaw(Header::control(SType::REJECT_REQ, h.system, reason, what), "");
  };
  const auto answered = [&] {
    std::lock_guard<std::mutex> lock(mutex_);
    return control_.erase(h.system) > 0;
  };
  if (h.ptype != 0) {
    reject(hsms::REJECT_PTYPE, h.ptype);
    return true;
  }
  switch (h.stype) {
    case SType::DATA:
      break;
    case SType::SELECT_REQ:
      sendRaw(Header::control(SType::SELECT_RSP, h.system,
                              selected_ ? hsms::SELECT_ALREADY_ACTIVE : hsms::SELECT_OK),
              "");
      setSelected(true);
      return true;
    case SType::SELECT_RSP:
      if (!answered()) {
        reject(hsms::REJECT_NO_TRANSACTION, static_cast<std::uint8_t>(h.stype));
      } else if (h.byte3 == hsms::SELECT_OK || h.byte3 == hsms::SELECT_ALREADY_ACTIVE) {
        setSelected(true);
      } else {
        note("the host refused the select (status " + std::to_string(h.byte3) + ")");
        return false;
      }
      return true;
    case SType::DESELECT_REQ:
      sendRaw(Header::control(SType::DESELECT_RSP, h.system,
                              selected_ ? hsms::DESELECT_OK : hsms::DESELECT_NOT_SELECTED),
              "");
      setSelected(false);
      return true;
    case SType::LINKTEST_REQ:
      sendRaw(Header::control(SType::LINKTEST_RSP, h.system), "");
      return true;
    case SType::DESELECT_RSP:
    case SType::LINKTEST_RSP:
      if (!answered()) reject(hsms::REJECT_NO_TRANSACTION, static_cast<std::uint8_t>(h.stype));
      if (h.stype == SType::DESELECT_RSP) setSelected(false);
      return true;
    case SType::REJECT_REQ:
      answered();
      note("the host rejected a message (reason " + std::to_string(h.byte3) + ")");
      return true;
    case SType::SEPARATE_REQ:
      note("the host separated");
      return false;
    default:
      reject(hsms::REJECT_STYPE, static_cast<std::uint8_t>(h.stype));
      return true;
  }
  if (!selected_) {
    reject(hsms::REJECT_NOT_SELECTED, static_cast<std::uint8_t>(h.stype));
    return true;
  }
  if (h.session != options_.deviceId) {
    sendError(1, h);
    return true;
  }
  if (h.function() % 2 == 0 && h.function() != 0) {
    // A reply: to one of the station's open requests, or to nothing (dropped).
    Pending pending;
    bool found = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto it = pending_.find(h.system);
      if (it != pending_.end()) {
        pending = std::move(it->second);
        pending_.erase(it);
        found = true;
      }
    }
    if (found) {
      if (pending.onReply) pending.onReply(&message);
      return true;
    }
    if (h.function() != 0) {
      note("a reply S" + std::to_string(h.stream()) + "F" + std::to_string(h.function()) +
           " to no open request, dropped");
      return true;
    }
  }
  if (h.function() == 0) {
    // SxF0: the host aborts the transaction.
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.erase(h.system);
    return true;
  }
  if (events_.onData) events_.onData(message);
  return true;
}
