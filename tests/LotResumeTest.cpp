// A lot outlives its station: the station is killed at one moment of a lot (as a crash would,
// through ATE_STATION_CRASH_AT), started again with the same command line, and resumes the lot
// by itself. The simulated handler (or prober) reconnects and sends again the SOT it waits on;
// at the end every SOT got exactly one BIN, and the lot's final counts, in the datalogs and on
// the page, are the handler's: each part once, with the bin the handler got.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "stdf/DatalogSummary.h"
#include "stdf/StdfReader.h"
#include "tests/support/HandlerSimProcess.h"
#include "tests/support/StationProcess.h"
#include "tests/support/TestFiles.h"

namespace {

using nlohmann::json;

struct CrashCase {
  const char* name;
  const char* crashAt;              // NAME:N, the N-th time the station passes NAME
  std::vector<std::string> feeder;  // ate-handler-sim's options
  json lot;                         // added to the lot's request
  long retests;                     // the parts the lot logs as tested again (-1: as the race goes)
  long tested;  // every part the datalogs hold, superseded ones too (-1: as the race goes)
};

const std::vector<std::string> HANDLER = {"--sites", "4", "--parts", "40"};
const std::vector<std::string> PROBER = {"--sites", "4",          "--prober", "--wafers",
                                         "2",       "--diameter", "6"};

const CrashCase CASES[] = {
    {"BetweenTouchdowns", "sent:3", HANDLER, json::object(), 0, 40},
    {"RightAfterASot", "sot:4", HANDLER, json::object(), 0, 40},
    {"InTheMiddleOfAPass", "pass:4", HANDLER, json::object(), -1, -1},
    // The pass is in the datalog whole: the SOT that comes again is answered from it.
    {"AfterThePassWasLoggedBeforeItsBins", "logged:4", HANDLER, json::object(), 0, 40},
    // The bins are recorded and the BIN not sent: the same parts, tested again as retests.
    {"AfterTheBinsWereRecordedBeforeTheBin", "binned:4", HANDLER, json::object(), 4, 44},
    {"WhilePaused", "paused:1", HANDLER, {{"guards", {{"siteFailsInRow", 3}}}}, 0, 40},
    {"InTheMiddleOfAWafer", "sent:5", PROBER, {{"wafer", {{"size", 150}}}}, 0, 64},
    {"BeforeTheBinOfADie", "binned:6", PROBER, {{"filePerWafer", true}}, 4, 68},
    // The end recorded, its report and delivery not done: the station started again does them.
    {"AtTheEnd", "ended:1", HANDLER, json::object(), 0, 40},
};

void PrintTo(const CrashCase& crash, std::ostream* out) { *out << crash.name; }

class LotResume : public testing::TestWithParam<CrashCase> {};

// The handler's own count at its end: "40 parts in 10 touchdowns; bins 1=30 2=10; 0 wrong".
std::map<int, long> handlerBins(const std::vector<std::string>& lines, long& parts) {
  std::map<int, long> bins;
  const std::regex summary(R"(([0-9]+) parts in [0-9]+ touchdowns; bins([ 0-9=]*);)");
  for (const std::string& line : lines) {
    std::smatch match;
    if (!std::regex_search(line, match, summary)) continue;
    parts = std::stol(match[1]);
    std::istringstream entries(match[2].str());
    for (std::string entry; entries >> entry;) {
      bins[std::stoi(entry)] = std::stol(entry.substr(entry.find('=') + 1));
    }
  }
  return bins;
}

TEST_P(LotResume, TheStationStartedAgainGoesOnWithTheLotAndCountsEachPartOnce) {
  const CrashCase& crash = GetParam();
  Handler handler(crash.feeder);
  json request = {{"project", "pmic"},
                  {"flow", "pmic_flow.json"},
                  {"setting", "lot_4_sites.json"},
                  {"lotId", "CRASH"},
                  {"binMap", {{"5", 2}}}};
  request.update(crash.lot);
  TempDir lots;
  const std::vector<std::string> args = {"--handler", handler.address(),
                                         "--lot",     lots.write("lot.json", request.dump()),
                                         "--timeout", "10"};
  const auto folders = std::make_shared<StationFolders>();
  {
    Station crashing(folders, args, {{"ATE_STATION_CRASH_AT", crash.crashAt}});
    const std::vector<std::string> said =
        crashing.process().readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT);
    ASSERT_TRUE(crashing.process().wait(TEST_TIMEOUT).has_value()) << "it never crashed";
    ASSERT_NE(testing::PrintToString(said).find("crashing at"), std::string::npos)
        << testing::PrintToString(said);
  }

  Station station(folders, args, {});
  json lot;
  // A lot held by a guard is resumed by the operator, each time the guard trips.
  for (int resumes = 0; resumes < 20; ++resumes) {
    lot = station.waitLot([](const json& l) { return l.value("state", "") != "running"; });
    if (lot.value("state", "") != "paused") break;
    ASSERT_EQ(station.post("/api/lot/resume").first, 200) << lot.dump();
  }
  ASSERT_EQ(lot.value("state", ""), "ended") << lot.dump();
  // The report is written once the lot has ended.
  lot = station.waitLot([](const json& l) { return l["lot"].contains("report"); });
  EXPECT_EQ(lot["lot"]["resumedAfterRestart"].size(), 1u) << lot.dump();
  EXPECT_TRUE(std::filesystem::exists(lot["lot"].value("report", "?"))) << lot.dump();

  const auto [lines, status] = handler.finish();
  ASSERT_EQ(status, std::optional<int>(0)) << testing::PrintToString(lines);
  long handlerParts = 0;
  const std::map<int, long> fed = handlerBins(lines, handlerParts);

  stdf::DatalogSummary summary;
  for (const json& file : lot["lot"]["datalogs"]) {
    std::ifstream in(file.get<std::string>(), std::ios::binary);
    stdf::StdfReader reader(in);
    for (stdf::Record record; reader.next(record);) summary.add(record);
    summary.endFile();
  }
  std::map<int, long> logged;
  for (const stdf::BinCount& bin : summary.hardBins()) {
    if (bin.count > 0) logged[bin.number == 5 ? 2 : static_cast<int>(bin.number)] += bin.count;
  }
  EXPECT_EQ(logged, fed);
  EXPECT_EQ(static_cast<long>(summary.overall().parts), handlerParts);
  const json& figures = lot["figures"];
  EXPECT_EQ(figures["parts"].get<long>() - figures["retests"].get<long>(), handlerParts);
  EXPECT_EQ(figures["good"].get<std::uint64_t>(), summary.overall().good);
  if (crash.retests >= 0) {
    EXPECT_EQ(figures["retests"], crash.retests);
  }
  if (crash.tested >= 0) {
    EXPECT_EQ(static_cast<long>(summary.tested()), crash.tested);
  }
}

INSTANTIATE_TEST_SUITE_P(Crashes, LotResume, testing::ValuesIn(CASES),
                         [](const testing::TestParamInfo<CrashCase>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace

namespace {

// The station killed after the lot's second touchdown, for a test to start it again.
struct Crashed {
  explicit Crashed(const std::vector<std::string>& feeder) : handler(feeder) {
    const json request = {{"project", "pmic"},
                          {"flow", "pmic_flow.json"},
                          {"setting", "lot_4_sites.json"},
                          {"lotId", "HELD"}};
    args = {"--handler", handler.address(), "--lot", lots.write("lot.json", request.dump())};
    Station crashing(folders, args, {{"ATE_STATION_CRASH_AT", "sent:2"}});
    crashing.process().readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT);
    EXPECT_TRUE(crashing.process().wait(TEST_TIMEOUT).has_value()) << "it never crashed";
  }
  Handler handler;
  TempDir lots;
  std::vector<std::string> args;
  std::shared_ptr<StationFolders> folders = std::make_shared<StationFolders>();
};

// A lot whose flow changed while the station was down comes back held, with an alarm naming the
// file; the operator's resume is refused until the file is as it was.
TEST(LotResume, ALotWhoseProgramChangedComesBackHeldUntilItIsPutBack) {
  Crashed crashed({"--sites", "4", "--parts", "24"});
  const std::filesystem::path flow = std::filesystem::absolute(
      std::filesystem::path(crashed.folders->projects) / "pmic" / "pmic_flow.json");
  std::ifstream in(flow, std::ios::binary);
  const std::string original((std::istreambuf_iterator<char>(in)), {});
  in.close();
  std::ofstream(flow, std::ios::binary) << original << " ";

  Station station(crashed.folders, crashed.args, {});
  const json held = station.waitLot([](const json& lot) {
    return lot.value("state", "") == "paused" && lot.value("pauseReason", "") != "";
  });
  const std::string changed =
      "the lot's flow " + flow.u8string() + " changed since the lot started";
  EXPECT_NE(held["pauseReason"].get<std::string>().find(changed), std::string::npos) << held.dump();
  EXPECT_TRUE(std::any_of(held["alarms"].begin(), held["alarms"].end(), [&](const json& alarm) {
    return alarm.value("text", "").find(changed) != std::string::npos;
  })) << held.dump();
  const auto [status, answer] = station.post("/api/lot/resume");
  EXPECT_EQ(status, 409);
  EXPECT_EQ(answer.value("error", ""), changed);

  std::ofstream(flow, std::ios::binary) << original;
  EXPECT_EQ(station.post("/api/lot/resume").first, 200);
  const json ended = station.waitLotEnded();
  EXPECT_EQ(ended["figures"]["parts"], 24);
  EXPECT_EQ(crashed.handler.finish().second, std::optional<int>(0));
}

// A lot that is not resumed: with --no-resume, or when its journal can't be read (a line in its
// middle damaged; then with an alarm naming where it was kept). Its journal is set aside and the
// station starts with no lot; the handler's SOT is held until a lot starts, and the page says so.
TEST(LotResume, ALotNotResumedIsSetAsideAndTheHandlersSotWaits) {
  for (const bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "a damaged journal" : "--no-resume");
    Crashed crashed({"--sites", "4", "--parts", "24"});
    const std::string work = crashed.folders->datalogs + "/.lot";
    std::vector<std::string> args = crashed.args;
    if (damaged) {
      std::fstream journal(work + "/journal.jsonl",
                           std::ios::binary | std::ios::in | std::ios::out);
      journal.seekp(120);
      journal.put('#');
    } else {
      args.push_back("--no-resume");
    }
    Station station(crashed.folders, args, {});
    const json idle = station.waitLot([](const json& lot) {
      return lot["handler"].value("state", "") == "SOT held until a lot starts";
    });
    EXPECT_EQ(idle["state"], "idle");
    const std::string prefix = damaged ? "journal.damaged-" : "journal.not-resumed-";
    std::string kept;
    for (const auto& entry : std::filesystem::directory_iterator(work)) {
      const std::string name = entry.path().filename().u8string();
      if (name.rfind(prefix, 0) == 0) kept = name;
    }
    EXPECT_NE(kept, "");
    EXPECT_FALSE(std::filesystem::exists(work + "/journal.jsonl"));
    const std::string alarms = idle["alarms"].dump();
    EXPECT_EQ(damaged, alarms.find("the lot journal can't be read") != std::string::npos) << alarms;
    if (damaged) {
      EXPECT_NE(alarms.find(kept), std::string::npos) << alarms;
    }
  }
}

}  // namespace
