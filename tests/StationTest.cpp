// ate-station with the real driver and the example project, through its HTTP API as the page and
// scripts use it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "host/ChildProcess.h"
#include "station/DatalogPanel.h"
#include "station/EventLog.h"
#include "tests/support/DriverSession.h"
#include "tests/support/HttpClient.h"
#include "tests/support/StationProcess.h"
#include "tests/support/StdfEncoder.h"
#include "tests/support/TestFiles.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using Clock = std::chrono::steady_clock;

// An event stream read on a thread of its own; every "line" event's text, in order.
class EventReader {
 public:
  EventReader(int port, std::uint64_t from) : client_("127.0.0.1", port) {
    thread_ = std::thread([this, from] {
      client_.stream("/api/events?from=" + std::to_string(from), [this](const std::string& data) {
        std::lock_guard<std::mutex> lock(mutex_);
        raw_ += data;
        parse();
        return !closing_;
      });
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
      changed_.notify_all();
    });
  }
  ~EventReader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    client_.stop();
    thread_.join();
  }

  // Waits until count lines match pattern; false at once when the stream ends.
  bool waitFor(const std::string& pattern, std::size_t count = 1) {
    const std::regex re(pattern);
    std::unique_lock<std::mutex> lock(mutex_);
    const bool found =
        changed_.wait_for(lock, TEST_TIMEOUT, [&] { return ended_ || matching(re) >= count; });
    return found && matching(re) >= count;
  }
  std::size_t count(const std::string& pattern) {
    std::lock_guard<std::mutex> lock(mutex_);
    return matching(std::regex(pattern));
  }
  std::vector<std::uint64_t> ids() {
    std::lock_guard<std::mutex> lock(mutex_);
    return ids_;
  }

 private:
  void parse() {
    for (std::size_t end; (end = raw_.find("\n\n")) != std::string::npos; raw_.erase(0, end + 2)) {
      const std::string event = raw_.substr(0, end);
      const std::size_t data = event.find("\ndata: ");
      if (event.find("event: line\n") == std::string::npos || data == std::string::npos) continue;
      const json line = json::parse(event.substr(data + 7), nullptr, false);
      lines_.push_back(line.value("kind", "") + " " + line.value("text", ""));
      ids_.push_back(line.value("id", std::uint64_t{0}));
    }
    changed_.notify_all();
  }
  std::size_t matching(const std::regex& re) const {
    return std::count_if(lines_.begin(), lines_.end(),
                         [&](const std::string& line) { return std::regex_search(line, re); });
  }

  HttpClient client_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string raw_;
  std::vector<std::string> lines_;
  std::vector<std::uint64_t> ids_;
  bool ended_ = false, closing_ = false;
  std::thread thread_;
};

bool ready(const json& state) { return state.value("driver", "") == "ready"; }

TEST(Station, RunsTheExampleThroughAWholeOperatorSession) {
  Station station;
  station.waitState(ready);
  EventReader events(std::stoi(station.origin().substr(17)), 0);

  // A flow that can't be read: the driver's code, in words.
  std::ofstream(fs::path(station.projects()) / "pmic" / "broken_flow.json") << "{\"testItems\": [";
  auto [status, body] =
      station.post("/api/load", R"({"project":"pmic","flow":"broken_flow.json"})");
  EXPECT_EQ(status, 422);
  EXPECT_EQ(body.value("error", ""), "the flow file is missing, unreadable or malformed (4097)");

  // The projects list names the example's library, flows and settings, not the broken flow.
  const HttpResult listed = station.client().get("/api/projects");
  ASSERT_TRUE(listed);
  EXPECT_EQ(json::parse(listed.body)["projects"],
            json::parse(R"([{"name":"pmic","library":"pmic_project)" ATE_LIBRARY_SUFFIX
                        R"(","flows":["pmic_flow.json"],
                        "settings":["lot_4_sites.json","three_passes.json","until_stopped_failstop.json"]}])"));

  std::tie(status, body) =
      station.post("/api/load", R"({"project":"pmic","flow":"pmic_flow.json"})");
  EXPECT_EQ(status, 200) << body.dump();
  EXPECT_EQ(body.value("reply", ""), "2^done");
  EXPECT_EQ(station.state().value("phase", ""), "project loaded");

  std::tie(status, body) = station.post("/api/run", R"({"setting":"three_passes.json"})");
  EXPECT_EQ(status, 200) << body.dump();
  EXPECT_TRUE(events.waitFor("^out 3\\^execute done$"));
  EXPECT_EQ(events.count("^out pass [0-9]+ done$"), 3u);
  EXPECT_EQ(events.count("^out   output_voltage  DUT3  VOUT1 = .* FAIL$"), 3u);
  EXPECT_EQ(events.count("^station > 3\\^qv -p run .*three_passes.json$"), 1u);

  // The datalog panel counts every part of the three passes on four devices; DUT3 (site 3)
  // fails its output voltage each time.
  json datalog;
  for (const auto deadline = Clock::now() + TEST_TIMEOUT; Clock::now() < deadline;) {
    const HttpResult result = station.client().get("/api/datalog");
    datalog = json::parse(result.body, nullptr, false);
    if (datalog.is_object() && datalog.value("passes", 0) == 3) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(datalog["overall"], json::parse(R"({"parts":12,"good":9,"yield":0.75})"));
  EXPECT_EQ(datalog["hardBins"], json::parse(R"([{"number":1,"name":"PASS","passFail":"P",
      "count":9},{"number":5,"name":"output_voltage","passFail":"F","count":3}])"));
  ASSERT_EQ(datalog["devices"].size(), 4u) << datalog.dump();
  EXPECT_EQ(datalog["devices"][2].value("failedTestName", ""), "VOUT1");

  std::tie(status, body) = station.post("/api/run", R"({"setting":"until_stopped_failstop.json"})");
  EXPECT_EQ(status, 200) << body.dump();
  station.waitState([](const json& state) {
    return state.value("phase", "").compare(0, 12, "run 4 going,") == 0;
  });
  EXPECT_TRUE(events.waitFor("^out pass [0-9]+ done$", 5));
  std::tie(status, body) = station.post("/api/stop");
  EXPECT_EQ(status, 200) << body.dump();
  EXPECT_TRUE(events.waitFor("^out 4\\^execute done$"));
  station.waitState([](const json& state) { return state.value("phase", "") == "project loaded"; });

  std::tie(status, body) = station.post("/api/unload");
  EXPECT_EQ(status, 200) << body.dump();
  const json after = station.state();
  EXPECT_EQ(after.value("phase", ""), "ready");
  EXPECT_EQ(after.value("project", "x"), "");
  // Standard error is marked; the broken flow wrote the only line there.
  EXPECT_EQ(events.count("^err "), 1u);
  EXPECT_EQ(events.count("^err Cannot read flow file \".*[/\\\\]broken_flow.json\": "), 1u);

  // A page that reconnects from its last number gets exactly the lines after it.
  const std::vector<std::uint64_t> seen = events.ids();
  ASSERT_GT(seen.size(), 10u);
  EventReader resumed(std::stoi(station.origin().substr(17)), seen[seen.size() - 10]);
  EXPECT_TRUE(resumed.waitFor("^station > 6\\^qv -p unload$"));
  const std::vector<std::uint64_t> rest = resumed.ids();
  ASSERT_GE(rest.size(), 9u);
  EXPECT_EQ(std::vector<std::uint64_t>(rest.begin(), rest.begin() + 9),
            std::vector<std::uint64_t>(seen.end() - 9, seen.end()));
}

TEST(Station, RefusesWhatMustNotReachTheDriver) {
  Station station;
  station.waitState(ready);
  ASSERT_EQ(station.post("/api/load", R"({"project":"pmic","flow":"pmic_flow.json"})").first, 200);
  // Links that lead out of the projects folder, to a file and to a folder.
  TempDir outside;
  const std::string secret = outside.write("flow.json", "{\"testItems\": []}");
  bool linked = true;
  try {
    fs::create_symlink(secret, fs::path(station.projects()) / "pmic" / "escape.json");
    fs::create_directory_symlink(outside.path(""), fs::path(station.projects()) / "elsewhere");
  } catch (const fs::filesystem_error&) {
#ifdef _WIN32
    linked = false;  // Wine makes no symbolic links
#else
    throw;
#endif
  }
  const json before = station.state();

  struct Refusal {
    const char* what;
    std::string path, body;
    HttpHeaders headers;
    int status;
    std::string error;
  };
  const HttpHeaders page{{"Origin", station.origin()}};
  const std::string big(20000, ' ');
  std::vector<Refusal> refusals = {
      {"no Origin",
       "/api/stop",
       "{}",
       {},
       403,
       "a request that changes anything must come from the station's page"},
      {"another site",
       "/api/stop",
       "{}",
       {{"Origin", "http://example.com"}},
       403,
       "a request that changes anything must come from the station's page"},
      {"rebound name",
       "/api/stop",
       "{}",
       {{"Origin", "http://evil.test"}, {"Host", "evil.test"}},
       403,
       "this station answers only to its loopback address"},
      {"bad JSON", "/api/run", "{\"setting\":", page, 400, "the request body is not valid JSON: "},
      {"no object", "/api/run", "[1]", page, 400, "the request body must be a JSON object"},
      {"no field", "/api/run", "{\"set\":\"x\"}", page, 400,
       "the request needs \"setting\" as a string"},
      {"oversized", "/api/run", "{\"setting\":\"" + big + "\"}", page, 413,
       "the request body is too large"},
      {"parent", "/api/run", R"({"setting":"../pmic/three_passes.json"})", page, 400,
       "not a file name: \"../pmic/three_passes.json\""},
      {"separator", "/api/load", R"({"project":"pmic","flow":"sub\\pmic_flow.json"})", page, 400,
       "not a file name: \"sub\\pmic_flow.json\""},
      {"absolute", "/api/load", R"({"project":"/etc","flow":"passwd"})", page, 400,
       "not a project name: \"/etc\""},
      {"dot dot", "/api/load", R"({"project":"..","flow":"pmic_flow.json"})", page, 400,
       "not a project name: \"..\""},
      {"file link out", "/api/load", R"({"project":"pmic","flow":"escape.json"})", page, 400,
       "\"pmic/escape.json\" leads out of the projects folder"},
      {"folder link out", "/api/load", R"({"project":"elsewhere","flow":"flow.json"})", page, 400,
       "\"elsewhere\" leads out of the projects folder"},
      {"missing", "/api/run", R"({"setting":"nothing.json"})", page, 404,
       "no such file: \"pmic/nothing.json\""},
  };
  if (!linked) refusals.erase(refusals.end() - 3, refusals.end() - 1);
  for (const Refusal& refusal : refusals) {
    const HttpResult result = station.client().post(refusal.path, refusal.headers, refusal.body);
    ASSERT_TRUE(result) << refusal.what;
    EXPECT_EQ(result.status, refusal.status) << refusal.what;
    const json body = json::parse(result.body, nullptr, false);
    EXPECT_EQ(body.value("error", "").substr(0, refusal.error.size()), refusal.error)
        << refusal.what << ": " << result.body;
  }
  EXPECT_EQ(station.client().send("PUT", "/api/stop", page, "{}").status, 405);
  // Nothing reached the driver: no line since, the project still loaded.
  EXPECT_EQ(station.state(), before);
}

TEST(Station, SaysWhenTheDriverIsSilentOrDiesAndRestartsIt) {
  Station station({}, ATE_MUTE_DRIVER_PATH);
  station.waitState(ready);
  auto [status, body] = station.post("/api/load", R"({"project":"pmic","flow":"pmic_flow.json"})");
  EXPECT_EQ(status, 504);
  EXPECT_TRUE(
      std::regex_match(body.value("error", ""),
                       std::regex("no reply from the driver to 1\\^qv -p load .* within 2 s")))
      << body.dump();
  std::tie(status, body) = station.post("/api/stop");
  EXPECT_EQ(status, 409);
  EXPECT_EQ(body.value("error", ""), "the driver ended before it answered 2^qv -p stop");
  EXPECT_EQ(
      station.waitState([](const json& state) { return state.value("driver", "") == "ended"; })
          .value("phase", ""),
      "driver ended (status 3)");
  std::tie(status, body) = station.post("/api/unload");
  EXPECT_EQ(status, 409);
  EXPECT_EQ(body.value("error", ""), "the driver has ended; restart it first");
  EXPECT_EQ(station.post("/api/restart").first, 200);
  EXPECT_EQ(station.waitState(ready).value("phase", ""), "ready");
}

TEST(Station, EndsItsDriverOnSigterm) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no SIGTERM; Ctrl-C reaches a console program only from its console";
#else
  Station station;
  station.waitState(ready);
  ASSERT_EQ(::kill(static_cast<pid_t>(station.process().id()), SIGTERM), 0);
  EXPECT_EQ(station.process().wait(TEST_TIMEOUT), 0);
  std::vector<std::string> out =
      station.process().readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT);
  // After the address: that it has no accounts yet, and how to make one.
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.front().rfind("ate-station: no accounts in ", 0), 0u) << out.front();
  out.erase(out.begin());
  EXPECT_EQ(out,
            (std::vector<std::string>{"ate-station: stopping",
                                      "ate-station: stopped; the driver ended with status 0"}));
#endif
}

TEST(Station, KeepsTheNewestLinesAndTellsAReaderWhatItMissed) {
  EventLog log(3);
  for (const char* text : {"a", "b", "c", "d", "e"}) log.append(LogLine::Kind::out, text);
  struct Case {
    std::uint64_t after;
    std::size_t max;
    std::uint64_t skipped;
    std::string texts;
  };
  for (const Case& c : {Case{0, 10, 2, "cde"}, Case{1, 10, 1, "cde"}, Case{3, 10, 0, "de"},
                        Case{2, 2, 0, "cd"}, Case{5, 10, 0, ""}}) {
    const EventLog::Batch batch = log.since(c.after, c.max);
    std::string texts;
    for (const LogLine& line : batch.lines) texts += line.text;
    EXPECT_EQ(texts, c.texts) << "after " << c.after;
    EXPECT_EQ(batch.skipped, c.skipped) << "after " << c.after;
  }
  EXPECT_EQ(log.dropped(), 2u);
}

TEST(Station, DatalogPanelFollowsTheNewestDatalogPassByPass) {
  using namespace stdftest;
  TempDir dir;
  const fs::path folder = dir.path("datalog");
  fs::create_directories(folder);
  DatalogPanel panel(folder);
  EXPECT_FALSE(panel.update());
  EXPECT_EQ(panel.json(), R"({"file":null,"passes":0})");

  // A pass on two sites: site 1 good, site 2 fails test 41 into hard bin 5, soft bin 40. The
  // summary after the parts names the bins; the writer rewrites it after every pass.
  const auto pass = [](int n) {
    return pir(false, 1) + pir(false, 2) + ptr(false, 41, 1, 0, 3.3f, "VOUT1", 3.2f, 3.4f, "V") +
           ptr(false, 41, 2, 0x80, 3.1f, "VOUT1", 3.2f, 3.4f, "V") +
           prr(false, 1, 0, 1, 1, std::to_string(2 * n - 1)) +
           prr(false, 2, 0x08, 5, 40, std::to_string(2 * n));
  };
  const std::string bins = bin(false, true, 255, 0, 1, 0, 'P', "PASS") +
                           bin(false, true, 255, 0, 5, 0, 'F', "output_voltage") +
                           bin(false, false, 255, 0, 1, 0, 'P', "PASS") +
                           bin(false, false, 255, 0, 40, 0, 'F', "output_voltage");
  const std::string first = far(false) + pass(1);
  const std::string second = first + pass(2);
  const std::string datalog = dir.write("datalog/a.stdf", first + bins);
  EXPECT_TRUE(panel.update());
  json shown = json::parse(panel.json());
  EXPECT_EQ(shown["file"], "a.stdf");
  EXPECT_EQ(shown["passes"], 1);
  EXPECT_EQ(shown["hardBins"], json::parse(R"([{"number":1,"name":"PASS","passFail":"P","count":1},
      {"number":5,"name":"output_voltage","passFail":"F","count":1}])"));

  dir.write("datalog/a.stdf", second + bins);
  EXPECT_TRUE(panel.update());
  EXPECT_FALSE(panel.update()) << "nothing was appended";
  shown = json::parse(panel.json());
  EXPECT_EQ(shown["passes"], 2);
  EXPECT_EQ(shown["sites"], json::parse(R"([{"site":1,"parts":2,"good":2,"yield":1.0},
      {"site":2,"parts":2,"good":0,"yield":0.0}])"));
  EXPECT_EQ(shown["overall"], json::parse(R"({"parts":4,"good":2,"yield":0.5})"));
  EXPECT_EQ(shown["softBins"][1], json::parse(R"({"number":40,"name":"output_voltage",
      "passFail":"F","count":2})"));
  EXPECT_EQ(shown["devices"], json::parse(R"([
      {"site":1,"partId":"3","passed":true,"hardBin":1,"softBin":1,"failedTest":null,
       "failedTestName":"","incomplete":false,"incompleteReason":""},
      {"site":2,"partId":"4","passed":false,"hardBin":5,"softBin":40,"failedTest":41,
       "failedTestName":"VOUT1","incomplete":false,"incompleteReason":""}])"));

  // A damaged part: said, and what came before stays.
  const std::string broken =
      record(5, 20, Fields(false).u1(1).u1(1).u1(0).u2(1).u2(1).u2(1).i2(0).i2(0).u4(0).u1(50));
  dir.write("datalog/a.stdf", second + pir(false, 1) + broken);
  panel.update();
  shown = json::parse(panel.json());
  EXPECT_EQ(shown["passes"], 2);
  EXPECT_EQ(shown["error"].get<std::string>().substr(0, 23), "cannot read a.stdf: byt")
      << shown["error"];

  // A newer datalog (the project was loaded again): the panel starts over with it.
  const std::string newer = dir.write("datalog/b.stdf", first + bins);
  fs::last_write_time(newer, fs::last_write_time(datalog) + std::chrono::seconds(5));
  EXPECT_TRUE(panel.update());
  shown = json::parse(panel.json());
  EXPECT_EQ(shown["file"], "b.stdf");
  EXPECT_EQ(shown["passes"], 1);
  EXPECT_EQ(shown["overall"]["parts"], 2);
  EXPECT_EQ(shown["error"], "");

  // Parts not completed (PART_FLG bit 2), each with the DTR before its PRR that says why, or none
  // (another writer); a DTR for a part that then completes says nothing of it.
  const auto dtr = [](const std::string& text) { return record(50, 30, Fields(false).cn(text)); };
  const std::string unfinished =
      far(false) + pir(false, 1) + pir(false, 2) + pir(false, 3) + pir(false, 4) +
      ptr(false, 41, 1, 0x80, 3.1f, "VOUT1", 3.2f, 3.4f, "V") +
      dtr("site 1 not completed: left over") + prr(false, 1, 0x08, 5, 40, "1") +
      dtr("site 2 not completed: another device failed under fail-stop") +
      prr(false, 2, 0x0c, 99, 99, "2") + prr(false, 3, 0x0c, 99, 99, "3") +
      dtr("site 4 not completed: test function iq is missing or recorded nothing") +
      prr(false, 4, 0x0c, 99, 99, "4");
  const std::string latest = dir.write("datalog/c.stdf", unfinished);
  fs::last_write_time(latest, fs::last_write_time(datalog) + std::chrono::seconds(10));
  EXPECT_TRUE(panel.update());
  shown = json::parse(panel.json());
  ASSERT_EQ(shown["devices"].size(), 4u) << shown.dump();
  for (const auto& [site, incomplete, reason] :
       std::initializer_list<std::tuple<int, bool, const char*>>{
           {1, false, ""},
           {2, true, "another device failed under fail-stop"},
           {3, true, ""},
           {4, true, "test function iq is missing or recorded nothing"}}) {
    const json& device = shown["devices"][site - 1];
    EXPECT_EQ(device["incomplete"], incomplete) << device;
    EXPECT_EQ(device["incompleteReason"], reason) << device;
  }
}

}  // namespace
