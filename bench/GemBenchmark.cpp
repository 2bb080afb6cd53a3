// The station's GEM interface on loopback, in-process with a bare HSMS host: S1F1 to its S1F2,
// and a touchdown's bins handed to the equipment (as the lot records the BIN it sent) to its
// S6F11 (with a report of the touchdown's sites, part ids and bins) read by the host.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "station/gem/GemEquipment.h"
#include "station/gem/Hsms.h"
#include "station/gem/Secs2.h"
#include "station/http/Socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using secs::Item;

class Host {
 public:
  explicit Host(int port) : socket_(http::Socket::connect("127.0.0.1", port)), reader_(1 << 20) {
    socket_.setNoDelay();
  }
  void send(const hsms::Header& header, const Item* body = nullptr) {
    std::string bytes;
    if (body) secs::encode(*body, bytes);
    socket_.sendAll(hsms::frame(header, bytes));
  }
  // The next data message of this stream and function (answering the equipment's S1F13 on the
  // way); false when the connection ends.
  bool expect(int stream, int function, hsms::Message& message) {
    for (;;) {
      while (reader_.next(message) == hsms::FrameReader::Status::MESSAGE) {
        const hsms::Header& h = message.header;
        if (h.stype != hsms::SType::DATA) {
          if (stream == 0) return true;
          continue;
        }
        if (h.stream() == 1 && h.function() == 13 && !(stream == 1 && function == 13)) {
          const Item ack = Item::list({Item::binary(0), Item::list({})});
          send(hsms::Header::data(h.session, 1, 14, false, h.system), &ack);
          continue;
        }
        if (h.stream() == stream && h.function() == function) return true;
      }
      char chunk[65536];
      const long got = socket_.receive(chunk, sizeof chunk);
      if (got <= 0) return false;
      reader_.feed(chunk, static_cast<std::size_t>(got));
    }
  }

 private:
  http::Socket socket_;
  hsms::FrameReader reader_;
};

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(10, std::atoi(argv[1])) : 2000;
  gem::GemOptions options;
  options.link.port = 0;
  options.initial = gem::Control::ONLINE_REMOTE;
  gem::GemEquipment equipment(options, gem::StationActions{});
  std::string error;
  if (!equipment.start(error)) {
    std::cerr << "the equipment can't listen: " << error << std::endl;
    return 1;
  }
  Host host(equipment.port());
  std::uint32_t system = 1;
  const auto primary = [&](int stream, int function) {
    return hsms::Header::data(0, stream, function, true, ++system);
  };
  hsms::Message message;
  host.send(hsms::Header::control(hsms::SType::SELECT_REQ, ++system));
  host.expect(0, 0, message);
  const Item none = Item::list({});
  host.send(primary(1, 13), &none);
  host.expect(1, 14, message);
  const Item define = Item::list(
      {Item::u4(1),
       Item::list({Item::list({Item::u4(1), Item::list({Item::u4(gem::DV_TOUCHDOWN_SITES),
                                                        Item::u4(gem::DV_TOUCHDOWN_PART_IDS),
                                                        Item::u4(gem::DV_TOUCHDOWN_BINS)})})})});
  host.send(primary(2, 33), &define);
  host.expect(2, 34, message);
  const Item link = Item::list(
      {Item::u4(2),
       Item::list({Item::list({Item::u4(gem::CE_TOUCHDOWN_DONE), Item::list({Item::u4(1)})})})});
  host.send(primary(2, 35), &link);
  host.expect(2, 36, message);

  std::vector<double> areYouThere, touchdowns;
  for (int i = 0; i < rounds; ++i) {
    const auto sent = Clock::now();
    host.send(primary(1, 1));
    if (!host.expect(1, 2, message)) return 1;
    areYouThere.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
  }
  gem::StationEvent event;
  event.kind = gem::StationEvent::Kind::touchdownDone;
  event.sites = {1, 2, 3, 4};
  event.bins = {1, 1, 5, 1};
  for (int i = 0; i < rounds; ++i) {
    event.touchdown = i + 1;
    event.partIds = {std::to_string(4 * i + 1), std::to_string(4 * i + 2),
                     std::to_string(4 * i + 3), std::to_string(4 * i + 4)};
    const auto binned = Clock::now();
    equipment.stationEvent(event);
    if (!host.expect(6, 11, message)) return 1;
    touchdowns.push_back(std::chrono::duration<double, std::milli>(Clock::now() - binned).count());
    const Item ack = Item::binary(0);
    host.send(hsms::Header::data(0, 6, 12, false, message.header.system), &ack);
  }
  std::cout << rounds << " of each, on loopback" << std::endl;
  bench::printFigure(std::cout, "gem, S1F1 to S1F2, 90th percentile", percentile(areYouThere, 0.9),
                     "ms");
  bench::printFigure(std::cout, "gem, S1F1 to S1F2, median", bench::median(areYouThere), "ms", 1.0);
  bench::printFigure(std::cout, "gem, a touchdown's BIN to its S6F11 read, 90th percentile",
                     percentile(touchdowns, 0.9), "ms");
  bench::printFigure(std::cout, "gem, a touchdown's BIN to its S6F11 read, median",
                     bench::median(touchdowns), "ms", 5.0);
  return 0;
}
