// The SECS-II items and the HSMS framing as tables, and the equipment over a bare HSMS
// connection for what the host test can't make happen: a host that never selects or never
// answers, the control states, and the host's reports after a restart.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "station/gem/GemEquipment.h"
#include "station/gem/Hsms.h"
#include "station/gem/Secs2.h"
#include "station/gem/StationGem.h"
#include "station/http/Socket.h"
#include "tests/support/TestFiles.h"

namespace {

using secs::Format;
using secs::Item;

std::string hex(const std::string& bytes) {
  std::string out;
  char two[4];
  for (const char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
    out += two;
  }
  return out;
}

bool decodes(const std::string& bytes, Item& item, std::string& error) {
  bool has = false;
  return secs::decode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), item, has,
                      error);
}

// Every format as it goes on the wire, and back.
TEST(Secs2, EveryFormatEncodesAsSemiWritesItAndDecodesBack) {
  const struct {
    Item item;
    const char* bytes;
  } cases[] = {
      {Item::list({}), "0100"},
      {Item::list({Item::ascii("A"), Item::u1(7)}), "0102410141a50107"},
      {Item::binary(std::vector<std::uint8_t>{0x00, 0xff}), "210200ff"},
      {Item::boolean(true), "250101"},
      {Item::ascii("OK"), "41024f4b"},
      {Item::jis8("x"), "450178"},
      {Item::signedOf(Format::I1, {-1, 2}), "6502ff02"},
      {Item::signedOf(Format::I2, {-2}), "6902fffe"},
      {Item::signedOf(Format::I4, {-3}), "7104fffffffd"},
      {Item::signedOf(Format::I8, {-4}), "6108fffffffffffffffc"},
      {Item::unsignedOf(Format::U1, {255}), "a501ff"},
      {Item::unsignedOf(Format::U2, {258}), "a9020102"},
      {Item::unsignedOf(Format::U4, {1, 16777216}), "b1080000000101000000"},
      {Item::unsignedOf(Format::U8, {5}), "a1080000000000000005"},
      {Item::floatOf(Format::F4, {1.5}), "91043fc00000"},
      {Item::floatOf(Format::F8, {-2.0}), "8108c000000000000000"},
  };
  for (const auto& c : cases) {
    std::string out;
    ASSERT_TRUE(secs::encode(c.item, out)) << c.item.sml();
    EXPECT_EQ(hex(out), c.bytes) << c.item.sml();
    Item back;
    std::string error;
    ASSERT_TRUE(decodes(out, back, error)) << error;
    EXPECT_EQ(back, c.item) << back.sml() << " vs " << c.item.sml();
  }
  // Length bytes: one up to 255, two up to 65,535, three beyond.
  for (const auto& [size, header] : std::vector<std::pair<std::size_t, std::string>>{
           {255, "41ff"}, {256, "420100"}, {65535, "42ffff"}, {65536, "43010000"}}) {
    std::string out;
    ASSERT_TRUE(secs::encode(Item::ascii(std::string(size, 'x')), out));
    EXPECT_EQ(hex(out.substr(0, header.size() / 2)), header) << size;
    Item back;
    std::string error;
    ASSERT_TRUE(decodes(out, back, error)) << error;
    EXPECT_EQ(back.size(), size);
  }
}

TEST(Secs2, BadBodiesAreRefusedWithWhereAndWhat) {
  std::string deep;
  for (int i = 0; i <= secs::MAX_DEPTH; ++i) deep += std::string("\x01\x01", 2);
  deep += std::string("\x01\x00", 2);
  const struct {
    std::string bytes;
    const char* says;
  } cases[] = {
      {std::string("\x40\x00", 2), "no length bytes"},
      {std::string("\x0d\x00", 2), "unknown format 3"},
      {"\x42\x01", "length is cut short"},
      {"\x41\x05\x41", "values are cut short"},
      {std::string("\xb1\x03\x00\x00\x01", 5), "not a multiple of 4"},
      {std::string("\x01\x10\xa5\x01\x01", 5), "a list of 16 items in fewer bytes"},
      {deep, "nested deeper than 32"},
      {std::string("\xa5\x01\x01\x00", 4), "1 bytes after the message's item"},
  };
  for (const auto& c : cases) {
    Item item;
    std::string error;
    EXPECT_FALSE(decodes(c.bytes, item, error)) << hex(c.bytes);
    EXPECT_NE(error.find(c.says), std::string::npos) << hex(c.bytes) << ": " << error;
  }
  Item none;
  bool has = true;
  std::string error;
  EXPECT_TRUE(secs::decode(nullptr, 0, none, has, error));
  EXPECT_FALSE(has) << "an empty body has no item";
}

// Messages cut anywhere, several in one read, one too long skipped as its bytes come.
TEST(Hsms, FramesComeWholeHoweverTheBytesArrive) {
  const hsms::Header data = hsms::Header::data(3, 1, 13, true, 0x01020304);
  EXPECT_EQ(hex(data.bytes()), "0003810d000001020304");
  const std::string first = hsms::frame(data, std::string("\x01\x00", 2));
  const std::string second = hsms::frame(hsms::Header::control(hsms::SType::LINKTEST_REQ, 9), "");
  const std::string tooLong =
      hsms::frame(hsms::Header::data(3, 6, 11, true, 5), std::string(40, 'x'));
  const std::string stream = first + tooLong + second;
  for (const std::size_t piece : {std::size_t{1}, std::size_t{3}, stream.size()}) {
    hsms::FrameReader reader(32);
    std::vector<std::string> seen;
    hsms::Message message;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      reader.feed(stream.data() + at, std::min(piece, stream.size() - at));
      for (;;) {
        const auto status = reader.next(message);
        if (status == hsms::FrameReader::Status::NEED_MORE) break;
        ASSERT_NE(status, hsms::FrameReader::Status::BROKEN);
        seen.push_back(std::string(status == hsms::FrameReader::Status::TOO_LONG ? "long " : "") +
                       "S" + std::to_string(message.header.stream()) + "F" +
                       std::to_string(message.header.function()) + " " +
                       std::to_string(static_cast<int>(message.header.stype)) + " " +
                       hex(message.body));
      }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"S1F13 0 0100", "long S6F11 0 ", "S0F0 5 "}))
        << "pieces of " << piece;
    EXPECT_FALSE(reader.midMessage());
  }
  hsms::FrameReader reader(32);
  reader.feed("\x00\x00\x00\x09", 4);
  hsms::Message message;
  EXPECT_EQ(reader.next(message), hsms::FrameReader::Status::BROKEN);
}

// A host over a bare socket.
class BareHost {
 public:
  explicit BareHost(int port)
      : socket_(http::Socket::connect("127.0.0.1", port)), reader_(1 << 20) {}
  bool valid() const { return socket_.valid(); }
  void send(const hsms::Header& header, const Item* body = nullptr) {
    std::string bytes;
    if (body) secs::encode(*body, bytes);
    socket_.sendAll(hsms::frame(header, bytes));
  }
  // The next message within wait; false when none came or the connection ended.
  bool next(hsms::Message& message, std::chrono::milliseconds wait = std::chrono::seconds(5)) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
      if (reader_.next(message) == hsms::FrameReader::Status::MESSAGE) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      if (!socket_.waitReadable(std::chrono::milliseconds(20))) continue;
      char chunk[4096];
      const long got = socket_.receive(chunk, sizeof chunk);
      if (got <= 0) return false;
      reader_.feed(chunk, static_cast<std::size_t>(got));
    }
  }
  // The next data message of this stream and function, skipping others.
  bool expect(int stream, int function, hsms::Message& message) {
    while (next(message)) {
      if (message.header.stype == hsms::SType::DATA && message.header.stream() == stream &&
          message.header.function() == function) {
        return true;
      }
    }
    return false;
  }
  Item body(const hsms::Message& message) {
    Item item;
    bool has = false;
    std::string error;
    secs::decode(reinterpret_cast<const std::uint8_t*>(message.body.data()), message.body.size(),
                 item, has, error);
    return item;
  }
  void select() {
    send(hsms::Header::control(hsms::SType::SELECT_REQ, 1));
    hsms::Message reply;
    ASSERT_TRUE(next(reply));
    ASSERT_EQ(reply.header.stype, hsms::SType::SELECT_RSP);
  }

 private:
  http::Socket socket_;
  hsms::FrameReader reader_;
};

gem::GemOptions quickOptions(const std::string& stateFile) {
  gem::GemOptions options;
  options.link.host = "127.0.0.1";
  options.link.port = 0;
  options.link.t3 = std::chrono::milliseconds(300);
  options.link.t7 = std::chrono::milliseconds(300);
  options.stateFile = stateFile;
  return options;
}

TEST(GemEquipment, TimersControlStatesAndTheHostsReportsAcrossARestart) {
  TempDir dir;
  // A host's earlier setting: S1F13 again one second after an unanswered one.
  const std::string state = dir.write("gem.json", R"({"constants": {"5001": 1}})");
  std::uint32_t system = 100;
  const Item none = Item::list({});
  const auto primary = [&](int stream, int function) {
    return hsms::Header::data(0, stream, function, true, ++system);
  };
  {
    gem::GemEquipment equipment(quickOptions(state), gem::StationActions{});
    std::string error;
    ASSERT_TRUE(equipment.start(error)) << error;
    // T7: connected but never selected, the connection is closed.
    BareHost idle(equipment.port());
    hsms::Message message;
    EXPECT_FALSE(idle.next(message, std::chrono::seconds(3))) << "not closed after T7";

    BareHost host(equipment.port());
    host.select();
    // The equipment asks to communicate; a host that never answers gets S9F9 after T3, naming
    // the S1F13 by its header, and S1F13 again later.
    ASSERT_TRUE(host.expect(1, 13, message));
    const hsms::Header unanswered = message.header;
    ASSERT_TRUE(host.expect(9, 9, message));
    EXPECT_EQ(host.body(message).bytes(), unanswered.bytes());
    ASSERT_TRUE(host.expect(1, 13, message)) << "S1F13 is not tried again";
    host.send(primary(1, 13), &none);
    ASSERT_TRUE(host.expect(1, 14, message));
    // Online local: remote commands can't be performed now; the clock isn't the host's to set.
    const Item start = Item::list({Item::ascii("PAUSE"), Item::list({})});
    host.send(primary(2, 41), &start);
    ASSERT_TRUE(host.expect(2, 42, message));
    EXPECT_EQ(host.body(message)[0].unsignedValue(), 2u);
    const Item time = Item::ascii("2026121000000000");
    host.send(primary(2, 31), &time);
    ASSERT_TRUE(host.expect(2, 32, message));
    EXPECT_EQ(host.body(message).unsignedValue(), 1u);
    // Host offline: only S1F13 and S1F17 are answered; others are aborted (SxF0).
    host.send(primary(1, 15));
    ASSERT_TRUE(host.expect(1, 16, message));
    host.send(primary(1, 3), &none);
    ASSERT_TRUE(host.expect(1, 0, message));
    host.send(primary(1, 17));
    ASSERT_TRUE(host.expect(1, 18, message));
    EXPECT_EQ(host.body(message).unsignedValue(), 0u);
    // The state changes once the reply is out.
    for (int i = 0; i < 100 && equipment.view().control != gem::Control::ONLINE_LOCAL; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(equipment.view().control, gem::Control::ONLINE_LOCAL);
    // A report, kept.
    const Item define = Item::list(
        {Item::u4(1),
         Item::list({Item::list({Item::u4(7), Item::list({Item::u4(gem::SV_LOT_ID)})})})});
    host.send(primary(2, 33), &define);
    ASSERT_TRUE(host.expect(2, 34, message));
    EXPECT_EQ(host.body(message).unsignedValue(), 0u);
  }
  gem::GemEquipment again(quickOptions(state), gem::StationActions{});
  // A lot taken up after a restart, before the host is there: its event waits for the host.
  gem::StationEvent resumed;
  resumed.kind = gem::StationEvent::Kind::lotResumedAfterRestart;
  again.stationEvent(resumed);
  std::string error;
  ASSERT_TRUE(again.start(error)) << error;
  BareHost host(again.port());
  host.select();
  host.send(primary(1, 13), &none);
  hsms::Message message;
  ASSERT_TRUE(host.expect(1, 14, message));
  const Item define =
      Item::list({Item::u4(2),
                  Item::list({Item::list({Item::u4(7), Item::list({Item::u4(gem::SV_LOT_ID)})})})});
  ASSERT_TRUE(host.expect(6, 11, message)) << "the event before the host came was lost";
  EXPECT_EQ(host.body(message)[1].unsignedValue(), gem::CE_LOT_RESUMED_AFTER_RESTART);
  host.send(primary(2, 33), &define);
  ASSERT_TRUE(host.expect(2, 34, message));
  EXPECT_EQ(host.body(message).unsignedValue(), 3u) << "report 7 was not kept across the restart";

  // The host's other requests and what the equipment answers them, in order.
  const auto u4s = [](std::initializer_list<std::uint64_t> ids) {
    std::vector<Item> items;
    for (const std::uint64_t id : ids) items.push_back(Item::u4(id));
    return Item::list(items);
  };
  const auto pair = [](std::uint64_t id, Item value) { return Item::list({Item::u4(id), value}); };
  const struct {
    int stream, function;
    Item body;
    std::string answer;  // the reply's SML
  } exchanges[] = {
      {5, 3, Item::list({Item::binary(0x80), Item::u4(9999)}), "<B 0x01>"},
      {5, 3, Item::list({Item::binary(0), Item::u4(gem::AL_HANDLER)}), "<B 0x00>"},
      {5, 7, u4s({}), "<L [7]"},  // the enabled: all but the one disabled
      {5, 5, u4s({gem::AL_DELIVERY}), "<L [1] <L [3] <B 0x08> <U4 4006> <A \"DeliveryFailing\">>>"},
      {2, 13, u4s({gem::EC_ESTABLISH_COMMUNICATIONS_TIMEOUT}), "<L [1] <F8 1>>"},
      {2, 15, Item::list({pair(gem::EC_ESTABLISH_COMMUNICATIONS_TIMEOUT, Item::u4(5000))}),
       "<B 0x03>"},
      {2, 15, Item::list({pair(9999, Item::u4(1))}), "<B 0x01>"},
      {2, 15, Item::list({pair(gem::EC_LOT_YIELD_PERCENT, Item::u4(80))}), "<B 0x00>"},
      {2, 13, u4s({gem::EC_LOT_YIELD_PERCENT}), "<L [1] <F8 80>>"},
      {2, 29, u4s({}), "<L [6]"},
      {2, 35, Item::list({Item::u4(1), Item::list({Item::list({Item::u4(9999), u4s({7})})})}),
       "<B 0x04>"},
      {2, 35,
       Item::list({Item::u4(1), Item::list({Item::list({Item::u4(gem::CE_LOT_ENDED), u4s({8})})})}),
       "<B 0x05>"},
      {2, 37, Item::list({Item::boolean(true), u4s({9999})}), "<B 0x01>"},
      {2, 17, Item::list({}), "<A \"20"},  // the clock, this century
      {7, 19, Item::list({}), "<L [0]>"},
  };
  for (const auto& x : exchanges) {
    host.send(primary(x.stream, x.function), &x.body);
    ASSERT_TRUE(host.expect(x.stream, x.function + 1, message)) << x.body.sml();
    const std::string answer = host.body(message).sml();
    EXPECT_EQ(answer.substr(0, x.answer.size()), x.answer)
        << "S" << x.stream << "F" << x.function << " " << x.body.sml() << " answered " << answer;
  }
  EXPECT_DOUBLE_EQ(again.defaultGuards().lotYield.percent, 80) << "the constant is not the lot's";
}

// Which of the station's alarms the lot's records set and clear.
TEST(GemEquipment, TheLotsRecordsSetAndClearTheirAlarms) {
  using Kind = gem::StationEvent::Kind;
  const lot::LotBook idle;
  const auto events = [&](const lot::Record& record) {
    std::vector<std::string> out;
    for (const gem::StationEvent& e : gemEventsOf(record, idle, "none")) {
      if (e.kind == Kind::alarmSet || e.kind == Kind::alarmCleared) {
        out.push_back(std::string(e.kind == Kind::alarmSet ? "set " : "clear ") +
                      gem::alarmName(e.alarm));
      }
    }
    return out;
  };
  using List = std::vector<std::string>;
  const struct {
    lot::Record record;
    List alarms;
  } cases[] = {
      {lot::Alarm{"", "handler: jam at the input"}, {"set HandlerAlarm"}},
      {lot::Alarm{"", "yield guard tripped: site 3 failed 5 parts in a row; the lot is paused"},
       {"set SiteFailsInRowGuard"}},
      {lot::Alarm{"", "yield guard tripped: the yield of site 2 is 50% after 20 parts, below 80%"},
       {"set SiteYieldGuard"}},
      {lot::Alarm{"", "yield guard tripped: the lot's yield is 50% after 40 parts, below 80%"},
       {"set LotYieldGuard"}},
      {lot::Alarm{"", "the touchdown's run failed: the driver ended"}, {"set DriverFailed"}},
      {lot::Alarm{"", "the handler sent a line the station refused (SOT 9)"},
       {"set HandlerLineRefused"}},
      {lot::Alarm{"", "cannot write the lot file /x"}, {"set StationAlarm"}},
      {lot::Resumed{lot::Hold::handlerAlarm, "handler", ""}, {"clear HandlerAlarm"}},
      {lot::Resumed{lot::Hold::operatorPause, "op", ""},
       {"clear SiteFailsInRowGuard", "clear SiteYieldGuard", "clear LotYieldGuard"}},
      {lot::AlarmsCleared{"op", ""},
       {"clear DriverFailed", "clear HandlerLineRefused", "clear StationAlarm"}},
      {lot::WaferEnded{}, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(events(c.record), c.alarms) << lot::recordJson(c.record);
  const auto delivery = [](const std::string& line) {
    const auto event = gemDeliveryEvent(line);
    return !event ? std::string("none") : event->kind == Kind::alarmSet ? "set" : "clear";
  };
  EXPECT_EQ(delivery("cannot deliver a.stdf: refused; trying again"), "set");
  EXPECT_EQ(delivery("delivered a.stdf to /share"), "clear");
  EXPECT_EQ(delivery("spooled a.stdf"), "none");
}

// Active: the station connects to the host, selects, and asks to communicate.
TEST(GemEquipment, ActiveConnectsSelectsAndEstablishes) {
  int port = 0;
  std::string error;
  http::Socket listener = http::Socket::listen("127.0.0.1", 0, port, error);
  ASSERT_TRUE(listener.valid()) << error;
  gem::GemOptions options = quickOptions("");
  options.link.active = true;
  options.link.port = port;
  gem::GemEquipment equipment(options, gem::StationActions{});
  ASSERT_TRUE(equipment.start(error)) << error;
  ASSERT_TRUE(listener.waitReadable(std::chrono::seconds(5)));
  http::Socket accepted = listener.accept();
  ASSERT_TRUE(accepted.valid());
  hsms::FrameReader reader(1 << 16);
  hsms::Message message;
  const auto next = [&] {
    for (int i = 0; i < 250; ++i) {
      if (reader.next(message) == hsms::FrameReader::Status::MESSAGE) return true;
      if (!accepted.waitReadable(std::chrono::milliseconds(20))) continue;
      char chunk[4096];
      const long got = accepted.receive(chunk, sizeof chunk);
      if (got <= 0) return false;
      reader.feed(chunk, static_cast<std::size_t>(got));
    }
    return false;
  };
  ASSERT_TRUE(next());
  ASSERT_EQ(message.header.stype, hsms::SType::SELECT_REQ);
  accepted.sendAll(hsms::frame(
      hsms::Header::control(hsms::SType::SELECT_RSP, message.header.system, hsms::SELECT_OK), ""));
  ASSERT_TRUE(next());
  EXPECT_EQ(message.header.stream(), 1);
  EXPECT_EQ(message.header.function(), 13);
  for (int i = 0; i < 100 && !equipment.view().selected; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(equipment.view().selected);
}

}  // namespace
