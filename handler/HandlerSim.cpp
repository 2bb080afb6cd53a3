#include "handler/HandlerSim.h"

#include <atomic>
#include <cmath>
#include <deque>
#include <map>
#include <memory>
#include <random>

#include "station/http/Socket.h"

namespace handler {

namespace {

using Clock = std::chrono::steady_clock;

// The simulator's side of one connection with the station.
class Peer {
 public:
  Peer(http::Socket socket, std::FILE* out) : socket_(std::move(socket)), out_(out) {}

  bool send(const std::string& line) {
    std::fprintf(out_, "-> %s\n", line.c_str());
    std::fflush(out_);
    return socket_.sendAll(line + "\n");
  }

  // The next line, waiting until deadline; false on time or when the station has gone (then
  // gone() is true).
  bool next(std::string& line, Clock::time_point deadline) {
    while (lines_.empty()) {
      if (gone_) return false;
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return false;
      std::string bytes;
      if (!socket_.receiveSome(bytes, left, never_)) {
        if (Clock::now() < deadline) gone_ = true;
        continue;
      }
      std::vector<LineSplitter::Line> lines;
      splitter_.add(bytes, lines);
      for (LineSplitter::Line& got : lines) lines_.push_back(std::move(got.text));
    }
    line = std::move(lines_.front());
    lines_.pop_front();
    std::fprintf(out_, "<- %s\n", line.c_str());
    std::fflush(out_);
    return true;
  }
  bool gone() const { return gone_; }

 private:
  http::Socket socket_;
  std::FILE* out_;
  LineSplitter splitter_;
  std::deque<std::string> lines_;
  bool gone_ = false;
  const std::atomic<bool> never_{false};
};

class Simulator {
 public:
  Simulator(const SimOptions& options, std::FILE* out)
      : options_(options), out_(out), random_(options.seed) {}

  int run();

 private:
  void say(const std::string& text) {
    std::fprintf(out_, "ate-handler-sim: %s\n", text.c_str());
    std::fflush(out_);
  }
  void problem(const std::string& text) {
    ++problems_;
    say("wrong: " + text);
  }
  // A connection with the station that has said HELLO; false when none came in time.
  bool connect();
  // Reads what the station sends until a BIN for sites comes; false when none comes.
  bool awaitBin(const std::vector<SiteEntry>& sites);
  void handleOther(const StationMessage& message);
  // Waits while the station has paused the lot, and for duration besides.
  bool idle(std::chrono::milliseconds duration);
  // One touchdown: sends its SOT (again after a reconnect) until its BIN has come.
  bool touchdown(const std::vector<SiteEntry>& sites);
  // Sends a line that needs no answer, reconnecting first when the station has gone.
  bool tell(const std::string& line);
  std::vector<SiteEntry> nextHandlerTouchdown();

  const SimOptions& options_;
  std::FILE* out_;
  std::mt19937 random_;
  http::Socket listener_;
  std::unique_ptr<Peer> peer_;
  bool paused_ = false;
  bool lotEnded_ = false;  // after EOL a station that hangs up is done, not lost
  long problems_ = 0;
  long parts_ = 0;
  long touchdowns_ = 0;
  std::map<int, long> bins_;
};

bool Simulator::connect() {
  peer_.reset();
  say("waiting for the station");
  http::Socket socket = listener_.accept();
  if (!socket.valid()) return false;
  socket.setNoDelay();
  peer_ = std::make_unique<Peer>(std::move(socket), out_);
  std::string line;
  if (!peer_->next(line, Clock::now() + options_.timeout)) {
    problem("no HELLO from the station");
    return false;
  }
  StationMessage message;
  std::string error;
  if (!parseStationLine(line, message, error) || message.kind != StationMessage::Kind::hello) {
    problem("the station's first line is no HELLO: " + line);
    return false;
  }
  return true;
}

void Simulator::handleOther(const StationMessage& message) {
  switch (message.kind) {
    case StationMessage::Kind::pause:
      paused_ = true;
      break;
    case StationMessage::Kind::resume:
      paused_ = false;
      break;
    case StationMessage::Kind::error:
      problem("the station refused a line: " + message.text);
      break;
    case StationMessage::Kind::hello:
      problem("a second HELLO on one connection");
      break;
    case StationMessage::Kind::bin:
      problem("a BIN without a SOT");
      break;
  }
}

bool Simulator::awaitBin(const std::vector<SiteEntry>& sites) {
  const Clock::time_point deadline = Clock::now() + options_.timeout;
  std::string line;
  while (peer_->next(line, deadline)) {
    StationMessage message;
    std::string error;
    if (!parseStationLine(line, message, error)) {
      problem(error + ": " + line);
      continue;
    }
    if (message.kind != StationMessage::Kind::bin) {
      handleOther(message);
      continue;
    }
    bool right = message.bins.size() == sites.size();
    for (std::size_t i = 0; right && i < sites.size(); ++i) {
      right = message.bins[i].first == sites[i].site;
    }
    if (!right) problem("the BIN doesn't name the SOT's sites in its order: " + line);
    for (const auto& [site, bin] : message.bins) ++bins_[bin];
    parts_ += static_cast<long>(sites.size());
    ++touchdowns_;
    return true;
  }
  if (!peer_->gone()) problem("no BIN within the timeout");
  return false;
}

bool Simulator::idle(std::chrono::milliseconds duration) {
  const Clock::time_point until = Clock::now() + duration;
  std::string line;
  for (;;) {
    // After the end of lot there is nothing left to hold back for a pause.
    const bool held = paused_ && !lotEnded_;
    const Clock::time_point deadline = held ? Clock::now() + options_.timeout : until;
    if (!held && Clock::now() >= until) return true;
    if (!peer_->next(line, deadline)) {
      if (peer_->gone()) return lotEnded_ || (connect() && idle(duration));
      if (held) {
        problem("paused for longer than the timeout");
        return false;
      }
      return true;
    }
    StationMessage message;
    std::string error;
    if (!parseStationLine(line, message, error)) {
      problem(error + ": " + line);
    } else {
      handleOther(message);
    }
  }
}

bool Simulator::touchdown(const std::vector<SiteEntry>& sites) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    if (!idle(std::chrono::milliseconds(0))) return false;
    // The parts stay in the sites until their BIN comes, over a reconnect too.
    if (peer_->send(sotLine(sites)) && awaitBin(sites)) return true;
    if (!peer_->gone() || !connect()) return false;
  }
  problem("the station kept dropping the connection");
  return false;
}

bool Simulator::tell(const std::string& line) {
  if (peer_->gone() && !connect()) return false;
  return peer_->send(line);
}

std::vector<SiteEntry> Simulator::nextHandlerTouchdown() {
  std::vector<SiteEntry> sites;
  std::uniform_real_distribution<double> chance(0.0, 1.0);
  const long left = options_.parts - parts_;
  for (int site = 1; site <= options_.sites && static_cast<long>(sites.size()) < left; ++site) {
    if (chance(random_) >= options_.emptyRate) sites.push_back(SiteEntry{site, std::nullopt});
  }
  // A handler never starts a touchdown without a part.
  if (sites.empty()) {
    std::uniform_int_distribution<int> any(1, options_.sites);
    sites.push_back(SiteEntry{any(random_), std::nullopt});
  }
  return sites;
}

int Simulator::run() {
  std::string error;
  int port = 0;
  listener_ = http::Socket::listen(options_.host, options_.port, port, error);
  if (!listener_.valid()) {
    say(error);
    return 1;
  }
  say("listening on " + options_.host + ":" + std::to_string(port));
  if (!connect()) return 1;

  bool going = true;
  const auto afterTouchdown = [&] {
    if (options_.jamAfter > 0 && touchdowns_ == options_.jamAfter) {
      going = tell("ALARM jam in the output shuttle") && idle(options_.jamFor) && tell("READY");
    }
    going = going && idle(options_.index);
  };
  if (options_.prober) {
    for (int wafer = 1; going && wafer <= options_.wafers; ++wafer) {
      going = tell("WAFER W" + std::string(wafer < 10 ? "0" : "") + std::to_string(wafer));
      for (const std::vector<SiteEntry>& sites :
           waferTouchdowns(options_.diameter, options_.sites, options_.retest)) {
        if (!going) break;
        going = touchdown(sites);
        if (going) afterTouchdown();
      }
      going = going && tell("EOW");
    }
  } else {
    while (going && parts_ < options_.parts) {
      going = touchdown(nextHandlerTouchdown());
      if (going) afterTouchdown();
    }
  }
  if (going) going = tell("EOL");
  lotEnded_ = true;
  // The station may still say something about the end.
  if (going) idle(std::chrono::milliseconds(300));

  std::string bins;
  for (const auto& [bin, count] : bins_) {
    bins += " " + std::to_string(bin) + "=" + std::to_string(count);
  }
  say(std::to_string(parts_) + " parts in " + std::to_string(touchdowns_) + " touchdowns; bins" +
      (bins.empty() ? " none" : bins) + "; " + std::to_string(problems_) + " wrong");
  return going && problems_ == 0 ? 0 : 1;
}

}  // namespace

std::vector<DieXY> waferDies(int diameter) {
  std::vector<DieXY> dies;
  const double radius = diameter / 2.0;
  const int half = (diameter + 1) / 2;
  for (int y = -half; y < half; ++y) {
    for (int x = -half; x < half; ++x) {
      // A die is on the wafer when its centre is.
      if (std::hypot(x + 0.5, y + 0.5) <= radius) dies.push_back(DieXY{x, y});
    }
  }
  return dies;
}

std::vector<std::vector<SiteEntry>> waferTouchdowns(int diameter, int sites, int retest) {
  const std::vector<DieXY> dies = waferDies(diameter);
  std::vector<std::vector<SiteEntry>> touchdowns;
  for (std::size_t i = 0; i < dies.size();) {
    std::vector<SiteEntry> touchdown;
    const int row = dies[i].y;
    for (int site = 1; site <= sites && i < dies.size() && dies[i].y == row; ++site, ++i) {
      touchdown.push_back(SiteEntry{site, dies[i]});
    }
    touchdowns.push_back(std::move(touchdown));
  }
  // The retests: dies spread over the wafer, tested again on the first sites.
  const std::size_t count = std::min<std::size_t>(static_cast<std::size_t>(retest), dies.size());
  std::vector<SiteEntry> touchdown;
  for (std::size_t k = 0; k < count; ++k) {
    touchdown.push_back(SiteEntry{static_cast<int>(touchdown.size()) + 1,
                                  dies[k * dies.size() / count + dies.size() / (2 * count)]});
    if (static_cast<int>(touchdown.size()) == sites || k + 1 == count) {
      touchdowns.push_back(std::move(touchdown));
      touchdown.clear();
    }
  }
  return touchdowns;
}

int runSimulator(const SimOptions& options, std::FILE* out) {
  Simulator simulator(options, out);
  return simulator.run();
}

}  // namespace handler
