// Lots from end to end: the simulated handler, ate-station, the real driver and the example
// project. Every part the handler fed must come back with the bin its PRR in the lot's datalog
// holds, logged under the site the handler put it in.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "host/ChildProcess.h"
#include "stdf/DatalogSummary.h"
#include "stdf/StdfReader.h"
#include "tests/support/DriverSession.h"
#include "tests/support/HandlerSimProcess.h"
#include "tests/support/HttpClient.h"
#include "tests/support/StationProcess.h"
#include "tests/support/TestFiles.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

using stdf::Record;
using stdf::StdfReader;

using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// ate-station connected to a handler, with a lot that starts as it starts.
class LotStation : public Station {
 public:
  LotStation(const std::string& handler, const json& lot, const Environment& environment = {},
             std::shared_ptr<StationFolders> folders = std::make_shared<StationFolders>())
      : Station(std::move(folders),
                {"--handler", handler, "--lot", lotFile(lot), "--timeout", "10"}, environment) {}

 private:
  static std::string lotFile(const json& lot) {
    static TempDir lots;
    static int count = 0;
    return lots.write("lot" + std::to_string(++count) + ".json", lot.dump());
  }
};

json lotRequest(const std::string& lotId) {
  return {{"project", "pmic"},   {"flow", "pmic_flow.json"}, {"setting", "lot_4_sites.json"},
          {"lotId", lotId},      {"operator", "op7"},        {"partType", "PMIC-2"},
          {"binMap", {{"5", 2}}}};
}

struct Touchdown {
  std::vector<int> sites;                   // as the SOT named them
  std::map<int, int> bins;                  // site -> category, as the BIN said
  std::string wafer;                        // the WAFER before it, on a wafer
  std::map<int, std::pair<int, int>> dies;  // site -> X,Y, on a wafer
};

// The handler's touchdowns from its lines ("-> SOT 1 3", "<- BIN 1=1 3=2").
std::vector<Touchdown> touchdowns(const Lines& lines) {
  std::vector<Touchdown> out;
  std::string wafer;
  for (const std::string& line : lines) {
    std::istringstream words(line.substr(std::min<std::size_t>(line.size(), 7)));
    if (line.rfind("-> WAFER ", 0) == 0) wafer = line.substr(9);
    if (line == "-> EOW") wafer.clear();
    if (line.rfind("-> SOT", 0) == 0) {
      out.emplace_back();
      out.back().wafer = wafer;
      for (std::string entry; words >> entry;) {
        const int site = std::stoi(entry);
        out.back().sites.push_back(site);
        const std::size_t equals = entry.find('='), comma = entry.find(',');
        if (equals != std::string::npos && comma != std::string::npos) {
          out.back().dies[site] = {std::stoi(entry.substr(equals + 1)),
                                   std::stoi(entry.substr(comma + 1))};
        }
      }
    } else if (line.rfind("<- BIN", 0) == 0 && !out.empty()) {
      for (std::string entry; words >> entry;) {
        const std::size_t equals = entry.find('=');
        out.back().bins[std::stoi(entry.substr(0, equals))] = std::stoi(entry.substr(equals + 1));
      }
    }
  }
  return out;
}

struct Logged {
  stdf::Record mir;  // the first file's
  struct Part {
    int site = 0, hardBin = 0;
    std::string wafer;  // of the WIR before it
    int x = 0, y = 0;
    bool retestFlag = false;
  };
  std::vector<Part> parts;             // of each PRR, in file order
  std::map<std::string, int> records;  // how many of each type
  std::vector<stdf::Record> wrrs;
  stdf::DatalogSummary summary;  // final counts
};

Logged readDatalogs(const json& files) {
  Logged logged;
  std::string wafer;
  for (const json& file : files) {
    std::ifstream in(file.get<std::string>(), std::ios::binary);
    StdfReader reader(in);
    for (Record record; reader.next(record);) {
      logged.summary.add(record);
      ++logged.records[std::string(record.name)];
      if (record.is("WIR")) wafer = std::string(record.textValue("WAFER_ID"));
      if (record.is("WRR")) logged.wrrs.push_back(record);
      if (record.is("MIR") && logged.mir.fields.empty()) logged.mir = record;
      if (record.is("PRR")) {
        logged.parts.push_back({static_cast<int>(record.unsignedValue("SITE_NUM")),
                                static_cast<int>(record.unsignedValue("HARD_BIN")), wafer,
                                static_cast<int>(record.signedValue("X_COORD")),
                                static_cast<int>(record.signedValue("Y_COORD")),
                                (record.unsignedValue("PART_FLG") & 0x02) != 0});
      }
    }
    EXPECT_EQ(reader.error(), nullptr) << file;
    logged.summary.endFile();
  }
  return logged;
}

// Every touchdown's parts are the next PRRs of the datalogs, one per site of its SOT, each with
// its own site number and the hard bin the BIN sent for it (bin 5 goes to category 2).
void expectBinsAsLogged(const std::vector<Touchdown>& fed, const Logged& logged) {
  std::size_t next = 0;
  for (std::size_t t = 0; t < fed.size(); ++t) {
    SCOPED_TRACE("touchdown " + std::to_string(t + 1));
    const Touchdown& touchdown = fed[t];
    ASSERT_EQ(touchdown.bins.size(), touchdown.sites.size());
    ASSERT_LE(next + touchdown.sites.size(), logged.parts.size());
    std::map<int, int> bins;
    for (std::size_t i = 0; i < touchdown.sites.size(); ++i, ++next) {
      const Logged::Part& part = logged.parts[next];
      bins[part.site] = part.hardBin == 5 ? 2 : part.hardBin;
    }
    EXPECT_EQ(bins, touchdown.bins);
  }
  EXPECT_EQ(next, logged.parts.size()) << "parts logged that no BIN answered";
}

TEST(Lot, BinsEveryPartAsItsDatalogSaysUnderItsOwnSite) {
  // Empty sites, so that touchdowns hold sites 1, 3, 4; and a jam.
  Handler handler({"--sites", "4", "--parts", "40", "--empty", "0.3", "--jam-after", "3", "--seed",
                   "5", "--index", "0"});
  LotStation station(handler.address(), lotRequest("LOT/7"));
  const json lot = station.waitLotEnded();
  const auto [lines, status] = handler.finish();
  EXPECT_EQ(status, std::optional<int>(0)) << testing::PrintToString(lines);

  const std::vector<Touchdown> fed = touchdowns(lines);
  EXPECT_TRUE(
      std::any_of(fed.begin(), fed.end(), [](const Touchdown& t) { return t.sites.size() < 4; }));
  const Logged logged = readDatalogs(lot["lot"]["datalogs"]);
  EXPECT_EQ(logged.mir.textValue("LOT_ID"), "LOT/7");
  EXPECT_EQ(logged.mir.textValue("OPER_NAM"), "op7");
  EXPECT_EQ(logged.mir.textValue("MODE_COD"), "P");
  EXPECT_EQ(logged.parts.size(), 40u);
  expectBinsAsLogged(fed, logged);

  const json& figures = lot["figures"];
  EXPECT_EQ(figures["parts"], 40);
  EXPECT_EQ(lot["endReason"], "end of lot from the handler");
  const std::string alarms = lot["alarms"].dump();
  EXPECT_NE(alarms.find("jam"), std::string::npos) << alarms;
}

// A guard on the lot's yield pauses the lot after the touchdown that tripped it, and tells the
// handler; the operator resumes it and the lot goes on to its end.
TEST(Lot, AYieldGuardPausesTheLotUntilTheOperatorResumes) {
  Handler handler({"--sites", "4", "--parts", "48"});
  json request = lotRequest("GUARDED");
  request["guards"] = {{"lotYield", {{"percent", 99}, {"after", 6}}}};
  LotStation station(handler.address(), request);
  const json paused =
      station.waitLot([](const json& lot) { return lot.value("state", "") == "paused"; });
  EXPECT_NE(paused.value("pauseReason", "").find("lot's yield"), std::string::npos)
      << paused.dump();
  const long partsWhenPaused = paused["figures"]["parts"];
  EXPECT_GE(partsWhenPaused, 6);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(station.lot()["figures"]["parts"], partsWhenPaused) << "nothing is tested while paused";

  // Each resume starts the guard's count again; it trips again after 6 more parts.
  for (int resumes = 0; resumes < 10 && station.lot().value("state", "") != "ended"; ++resumes) {
    station.waitLot([](const json& lot) { return lot.value("state", "") != "running"; });
    if (station.lot().value("state", "") == "paused") {
      EXPECT_EQ(station.post("/api/lot/resume").first, 200);
    }
  }
  const json ended = station.waitLotEnded();
  EXPECT_EQ(ended["figures"]["parts"], 48);
  const auto [lines, status] = handler.finish();
  EXPECT_EQ(status, std::optional<int>(0));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [](const std::string& line) { return line == "<- PAUSE"; }));
}

void waferLot(bool filePerWafer);

// In a lot the example draws each part from its process model: the same lot id gives the same
// values die for die, another id other values, and the yield is a real process's, not a site's.
TEST(Lot, TheExampleDrawsEachPartOfALotFromItsProcessModel) {
  using Values = std::map<std::pair<int, int>, std::vector<float>>;  // die -> its PTR results
  const auto lotOf = [](const std::string& lotId, double& yield) {
    Handler handler({"--prober", "--wafers", "1", "--diameter", "14"});
    LotStation station(handler.address(), lotRequest(lotId), {{"ATE_EXAMPLE_FIXED", "0"}});
    const json lot = station.waitLotEnded();
    EXPECT_EQ(handler.finish().second, std::optional<int>(0));
    Values values;
    std::map<int, std::vector<float>> open;  // site -> results so far
    for (const json& file : lot["lot"]["datalogs"]) {
      std::ifstream in(file.get<std::string>(), std::ios::binary);
      StdfReader reader(in);
      stdf::DatalogSummary summary;
      for (Record r; reader.next(r);) {
        summary.add(r);
        const int site = static_cast<int>(r.unsignedValue("SITE_NUM"));
        if (r.is("PTR")) open[site].push_back(static_cast<float>(r.realValue("RESULT")));
        if (r.is("PRR")) {
          values[{static_cast<int>(r.signedValue("X_COORD")),
                  static_cast<int>(r.signedValue("Y_COORD"))}] = std::move(open[site]);
          open.erase(site);
        }
      }
      yield = summary.overall().yield();
    }
    return values;
  };
  double yieldA = 0, yieldAgain = 0, yieldB = 0;
  const Values a = lotOf("MODEL-A", yieldA), again = lotOf("MODEL-A", yieldAgain),
               b = lotOf("MODEL-B", yieldB);
  ASSERT_GT(a.size(), 100u);
  EXPECT_EQ(a, again) << "the same lot id, the same values";
  EXPECT_EQ(yieldA, yieldAgain);
  std::size_t differ = 0;
  std::set<float> vout1;  // the fifth PTR of a part that passed continuity and leakage
  for (const auto& [die, results] : a) {
    if (b.count(die) && b.at(die) != results) ++differ;
    if (results.size() > 7) vout1.insert(results[7]);
  }
  EXPECT_GT(differ, a.size() * 9 / 10) << "another lot id, other values";
  EXPECT_GT(vout1.size(), a.size() * 3 / 4) << "each part its own value";
  for (const double yield : {yieldA, yieldB}) {
    EXPECT_GT(yield, 0.8);
    EXPECT_LT(yield, 0.995);
  }
}

// Outlier screening in a lot: a part inside its test limits but outside the lot's static limits
// gets the static PAT bin as it is tested, in its datalog and in its BIN; at the lot's end the
// station screens the datalogs by every rule and says what it found.
TEST(Lot, OutlierScreeningBinsPartsAsTheyAreTestedAndScreensTheLot) {
  auto folders = std::make_shared<StationFolders>();
  std::ofstream(folders->projects + "/pmic/pat_limits.json")
      << R"({"tests": [{"number": 31, "low": 36, "high": 41}]})";
  Handler handler({"--prober", "--wafers", "2", "--diameter", "10"});
  json request = lotRequest("PATLOT");
  request["pat"] = {{"limits", "pat_limits.json"}};
  LotStation station(handler.address(), request, {{"ATE_EXAMPLE_FIXED", "0"}}, folders);
  // Each wafer's end screens the lot so far, and the lot's end once more, after its report.
  const json lot = station.waitLot([](const json& body) {
    return body.value("state", "") == "ended" &&
           body["lot"]["pat"].value("screened", json::object()).value("when", "") ==
               "at the lot's end";
  });
  const auto [lines, status] = handler.finish();
  EXPECT_EQ(status, std::optional<int>(0)) << testing::PrintToString(lines);
  const Logged logged = readDatalogs(lot["lot"]["datalogs"]);
  expectBinsAsLogged(touchdowns(lines), logged);

  // Each part's IQ_ACTIVE (test 31) against its bin: outside 36 to 41 and good otherwise is bin 11.
  long outliers = 0, checked = 0;
  for (const json& file : lot["lot"]["datalogs"]) {
    std::ifstream in(file.get<std::string>(), std::ios::binary);
    StdfReader reader(in);
    std::map<int, double> iq;  // site -> its part's value
    std::map<int, bool> failed;
    for (Record r; reader.next(r);) {
      const int site = static_cast<int>(r.unsignedValue("SITE_NUM"));
      if (r.is("PTR") && r.unsignedValue("TEST_NUM") == 31) iq[site] = r.realValue("RESULT");
      if (r.is("PTR") && (r.unsignedValue("TEST_FLG") & 0x80)) failed[site] = true;
      if (!r.is("PRR")) continue;
      const bool outside = iq.count(site) && (iq[site] < 36 || iq[site] > 41);
      const auto bin = r.unsignedValue("HARD_BIN");
      if (!failed[site]) {
        EXPECT_EQ(bin, outside ? 11u : 1u) << "IQ_ACTIVE " << iq[site];
        ++checked;
      }
      if (bin == 11) ++outliers;
      iq.erase(site);
      failed.erase(site);
    }
  }
  EXPECT_GT(outliers, 0);
  EXPECT_GT(checked, 2 * outliers);

  const json& screened = lot["lot"]["pat"]["screened"];
  ASSERT_TRUE(screened.is_object()) << lot["lot"].dump();
  EXPECT_EQ(screened["when"], "at the lot's end");
  EXPECT_EQ(screened["outliers"]["static"], 0) << "those are binned out already";
  std::ifstream csv;
  long rows = -1, said = 0;
  for (const json& output : screened["outputs"]) {
    EXPECT_TRUE(fs::exists(fs::u8path(output.get<std::string>()))) << output;
    if (output.get<std::string>().find("outliers.csv") == std::string::npos) continue;
    csv.open(fs::u8path(output.get<std::string>()));
    for (std::string line; std::getline(csv, line);) ++rows;
  }
  for (const auto& [rule, count] : screened["outliers"].items()) said += count.get<long>();
  EXPECT_EQ(rows, said);
  // A lot whose screening files are missing or not what they should be is refused, saying which.
  std::ofstream(folders->projects + "/pmic/broken_rules.json") << R"({"nnr": {"window": 4}})";
  const struct {
    json pat;
    int status;
    const char* says;
  } refused[] = {
      {{{"limits", "no_such.json"}}, 404, "no_such.json"},
      {{{"rules", "broken_rules.json"}}, 422, "nnr.window: not an odd number"},
      {{{"limits", "../pmic/pat_limits.json"}}, 400, ""},
  };
  for (const auto& r : refused) {
    json next = lotRequest("REFUSED");
    next["pat"] = r.pat;
    const auto [status, body] = station.post("/api/lot/start", next.dump());
    EXPECT_EQ(status, r.status) << body.dump();
    EXPECT_NE(body.value("error", "").find(r.says), std::string::npos) << body.dump();
  }

  long marked = 0;  // for the page's map
  for (const auto& [wafer, dies] : screened["dies"].items())
    marked += static_cast<long>(dies.size());
  EXPECT_EQ(marked, said);
}

// A prober's lot of two wafers with dies tested again, in one datalog and in one per wafer:
// every PRR at the X,Y the SOT gave it on its wafer, the re-probed dies flagged and superseded,
// each wafer's WRR counting its dies once.
TEST(Lot, AWaferLotLogsEachDieAtItsPlaceAndCountsItOnce) {
  for (const bool filePerWafer : {false, true}) {
    SCOPED_TRACE(filePerWafer ? "a file per wafer" : "one file");
    waferLot(filePerWafer);
  }
}

void waferLot(bool filePerWafer) {
  Handler handler({"--prober", "--wafers", "2", "--diameter", "8", "--retest", "3"});
  json request = lotRequest("WLOT");
  request["wafer"] = {{"size", 200}, {"units", "mm"}, {"flat", "D"}};
  request["filePerWafer"] = filePerWafer;
  LotStation station(handler.address(), request);
  const json lot = station.waitLotEnded();
  const auto [lines, status] = handler.finish();
  EXPECT_EQ(status, std::optional<int>(0)) << testing::PrintToString(lines);
  const std::vector<Touchdown> fed = touchdowns(lines);
  const json& files = lot["lot"]["datalogs"];
  Logged logged = readDatalogs(files);
  expectBinsAsLogged(fed, logged);
  ASSERT_EQ(files.size(), filePerWafer ? 2u : 1u) << files.dump();
  if (filePerWafer) {
    EXPECT_NE(files[0].get<std::string>().find("_W01_"), std::string::npos) << files[0];
    EXPECT_NE(files[1].get<std::string>().find("_W02_"), std::string::npos) << files[1];
  }
  EXPECT_EQ(logged.records["WCR"], static_cast<int>(files.size()));
  EXPECT_EQ(logged.records["WIR"], 2);
  ASSERT_EQ(logged.records["WRR"], 2);

  // Touchdown by touchdown, the dies the SOT named, at their sites, flagged when tested again.
  std::set<std::tuple<std::string, int, int>> seen;
  std::map<std::string, std::map<std::pair<int, int>, int>> last;  // wafer -> die -> category
  std::map<std::string, long> parts, retests;
  std::size_t next = 0;
  for (const Touchdown& touchdown : fed) {
    ASSERT_FALSE(touchdown.wafer.empty());
    std::set<std::tuple<std::string, int, int, bool>> expected, got;
    for (const auto& [site, die] : touchdown.dies) {
      const bool again = !seen.emplace(touchdown.wafer, die.first, die.second).second;
      expected.emplace(touchdown.wafer, die.first, die.second, again);
      last[touchdown.wafer][die] = touchdown.bins.at(site);
      ++parts[touchdown.wafer];
      if (again) ++retests[touchdown.wafer];
    }
    for (std::size_t i = 0; i < touchdown.dies.size() && next < logged.parts.size(); ++i, ++next) {
      const Logged::Part& die = logged.parts[next];
      got.emplace(die.wafer, die.x, die.y, die.retestFlag);
    }
    EXPECT_EQ(got, expected);
  }
  long dies = 0;
  for (const stdf::Record& wrr : logged.wrrs) {
    const std::string wafer(wrr.textValue("WAFER_ID"));
    SCOPED_TRACE("wafer " + wafer);
    long good = 0;
    for (const auto& [die, category] : last[wafer]) good += category == 1 ? 1 : 0;
    EXPECT_GT(retests[wafer], 0);
    EXPECT_EQ(wrr.unsignedValue("PART_CNT"), static_cast<std::uint64_t>(parts[wafer]));
    EXPECT_EQ(wrr.unsignedValue("RTST_CNT"), static_cast<std::uint64_t>(retests[wafer]));
    EXPECT_EQ(wrr.unsignedValue("GOOD_CNT"), static_cast<std::uint64_t>(good));
    dies += static_cast<long>(last[wafer].size());
  }
  // Final counts: each die once, here, on the page and in ate-datalog's summary.
  EXPECT_EQ(logged.summary.overall().parts, static_cast<std::uint64_t>(dies));
  EXPECT_EQ(lot["figures"]["parts"].get<long>() - lot["figures"]["retests"].get<long>(), dies);
  EXPECT_EQ(lot["figures"]["good"], logged.summary.overall().good);
}

#ifdef __linux__
// The station's children, from /proc.
std::vector<pid_t> childrenOf(std::int64_t parent) {
  std::vector<pid_t> children;
  for (const fs::directory_entry& entry : fs::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, name, state;
    long ppid = 0;
    if (stat >> pid >> name >> state >> ppid && ppid == parent) {
      children.push_back(static_cast<pid_t>(std::stol(pid)));
    }
  }
  return children;
}

std::string readWhole(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A driver killed in the middle of a lot loses no part: the station starts it again, loads the
// lot again into a new datalog, and tests the touchdown again. When the lot's flow changed
// meanwhile, the lot is held instead until the file is back and the operator resumes it.
class DriverKilled : public testing::TestWithParam<bool> {};

TEST_P(DriverKilled, MidLotLosesNoPart) {
  const bool flowChanged = GetParam();
  Handler handler({"--sites", "4", "--parts", "40"});
  LotStation station(handler.address(), lotRequest("KILLED"));
  station.waitLot([](const json& lot) {
    return lot.value("state", "") == "running" && lot["figures"].value("parts", 0) >= 12;
  });
  const std::string flow = station.projects() + "/pmic/pmic_flow.json";
  const std::string original = readWhole(flow);
  if (flowChanged) std::ofstream(flow, std::ios::binary | std::ios::app) << " ";
  const std::vector<pid_t> drivers = childrenOf(station.process().id());
  ASSERT_EQ(drivers.size(), 1u);
  ::kill(drivers[0], SIGKILL);

  if (flowChanged) {
    const json held = station.waitLot([](const json& lot) {
      return lot.value("state", "") == "paused" && !lot["alarms"].empty();
    });
    EXPECT_NE(held.dump().find("pmic_flow.json changed since the lot started"), std::string::npos)
        << held.dump();
    EXPECT_EQ(station.post("/api/lot/resume").first, 409) << "resumed with the flow changed";
    std::ofstream(flow, std::ios::binary | std::ios::trunc) << original;
    const auto [status, body] = station.post("/api/lot/resume");
    EXPECT_EQ(status, 200) << body.dump();
  }
  const json lot = station.waitLotEnded();
  const auto [lines, status] = handler.finish();
  EXPECT_EQ(status, std::optional<int>(0));
  EXPECT_EQ(lot["lot"]["datalogs"].size(), 2u) << lot.dump();
  const Logged logged = readDatalogs(lot["lot"]["datalogs"]);
  EXPECT_EQ(logged.parts.size(), 40u) << lot["alarms"].dump();
  expectBinsAsLogged(touchdowns(lines), logged);
}
INSTANTIATE_TEST_SUITE_P(Lot, DriverKilled, testing::Bool(), [](const auto& info) {
  return info.param ? "AfterItsFlowChanged" : "AsItWas";
});
#endif

}  // namespace
