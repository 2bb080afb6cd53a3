// The lot's journal and what it is read back into: its lines cut by a crash at any byte, damaged
// lines, the lot request it records, and the driver a crashed station leaves behind; and the lot
// controller against a handler that answers at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "host/ChildProcess.h"
#include "station/DriverPidFile.h"
#include "station/EventLog.h"
#include "station/ProjectCatalog.h"
#include "station/StationSession.h"
#include "station/lot/LotBook.h"
#include "station/lot/LotController.h"
#include "station/lot/LotJournal.h"
#include "station/lot/LotView.h"
#include "tests/support/DriverSession.h"
#include "tests/support/StationProcess.h"
#include "tests/support/TestFiles.h"

namespace {

using nlohmann::json;

const char* const FULL_REQUEST =
    R"({"project": "pmic", "flow": "f.json", "setting": "s.json", "lotId": "L/1",
        "sublotId": "A", "operator": "kim", "partType": "P2", "testCode": "FT1",
        "temperature": "25", "retest": 3, "binMap": {"5": 2, "99": 7}, "filePerWafer": true,
        "guards": {"siteFailsInRow": 5, "siteYield": {"percent": 80.5, "after": 20},
                   "lotYield": {"percent": 90, "after": 50}},
        "wafer": {"size": 200, "dieHeight": 5.25, "dieWidth": 4.8, "units": "mm", "flat": "D",
                  "centerX": -3, "centerY": 4, "posX": "R", "posY": "U"},
        "pat": {"limits": "limits.json", "rules": "rules.json"}})";

std::vector<lot::Record> aLot() {
  lot::Started started;
  std::string error;
  EXPECT_TRUE(parseLotRequest(FULL_REQUEST, started.request, error)) << error;
  started.startedAt = "2026-12-09 10:00:00";
  started.devices = {"DUT1", "DUT2"};
  started.program = {{"library", "/p/lib.so", "ab12"}};
  const handler::DieXY die{3, -2};
  return {
      started,
      lot::DatalogOpened{"/d/a.stdf", 1},
      lot::WaferStarted{"W01"},
      lot::TouchdownTaken{1, {{1, die, 1, false}, {2, handler::DieXY{4, -2}, 2, false}}},
      lot::TouchdownBinned{1, {{1, 1, true, 1}, {2, 5, false, 2}}, false},
      lot::BinSent{1, true},
      lot::Paused{lot::Hold::guard, "guard: site 2 failed 1 parts in a row", "station", "10:01"},
      lot::Alarm{"10:01", "yield guard tripped"},
      lot::Restarted{"2026-12-09 10:02:00"},
      lot::Resumed{lot::Hold::operatorPause, "kim", "10:03"},
      lot::TouchdownTaken{2, {{1, die, 3, true}}},
      lot::TouchdownBinned{2, {{1, 5, false, 2}}, false}};
}

std::string viewOf(const std::vector<std::string>& records) {
  lot::LotBook book;
  for (const std::string& text : records) {
    lot::Record record;
    std::string error;
    EXPECT_TRUE(lot::parseRecord(text, record, error)) << error;
    EXPECT_TRUE(book.apply(record, error)) << error;
  }
  return lot::lotJson(book, lot::LiveState());
}

TEST(LotJournal, ALastLineCutAtAnyByteReadsAsTheJournalBeforeIt) {
  std::string text, before;
  for (const lot::Record& record : aLot()) {
    before = text;
    text += lot::journalLine(lot::recordJson(record));
  }
  const lot::JournalText whole = lot::readJournalText(text);
  ASSERT_EQ(whole.status, lot::JournalText::Status::ok);
  ASSERT_EQ(whole.records.size(), aLot().size());
  const std::string wholeView = viewOf(whole.records);
  // The replayed lot: both touchdowns binned, the die tested again counted once.
  const json view = json::parse(wholeView);
  EXPECT_EQ(view["figures"]["parts"], 3);
  EXPECT_EQ(view["figures"]["retests"], 1);
  EXPECT_EQ(view["figures"]["good"], 0);
  EXPECT_EQ(view["state"], "running");
  EXPECT_EQ(view["lot"]["resumedAfterRestart"], json::array({"2026-12-09 10:02:00"}));

  const std::string beforeView = viewOf(lot::readJournalText(before).records);
  ASSERT_NE(beforeView, wholeView);
  for (std::size_t cut = before.size(); cut < text.size(); ++cut) {
    const lot::JournalText read = lot::readJournalText(std::string_view(text).substr(0, cut));
    ASSERT_EQ(read.status, lot::JournalText::Status::ok) << cut;
    EXPECT_EQ(read.tornBytes, cut - before.size());
    ASSERT_EQ(viewOf(read.records), beforeView) << "cut at byte " << cut;
  }

  // A changed byte: in the last line it is a torn line; in a line before a whole one, damage.
  std::string last = text;
  last[text.size() - 5] ^= 1;
  EXPECT_EQ(viewOf(lot::readJournalText(last).records), beforeView);
  std::string middle = text;
  middle[text.find('\n') + 20] ^= 1;
  const lot::JournalText damaged = lot::readJournalText(middle);
  EXPECT_EQ(damaged.status, lot::JournalText::Status::damaged);
  EXPECT_EQ(damaged.error, "line 2 is damaged, and line 3 after it is whole");

  // The writer cuts a torn tail off before it appends.
  TempDir dir;
  const std::filesystem::path path = dir.write("journal.jsonl", text.substr(0, text.size() - 7));
  lot::JournalWriter writer;
  std::string error;
  ASSERT_TRUE(writer.open(path, error)) << error;
  ASSERT_TRUE(writer.append(lot::recordJson(aLot().back()), error) && writer.sync(error)) << error;
  writer.close();
  EXPECT_EQ(viewOf(lot::readJournal(path).records), wholeView);
}

TEST(LotRequest, ReadsBackWhatItWritesAndRefusesWhatALotHasNot) {
  LotRequest request;
  std::string error;
  ASSERT_TRUE(parseLotRequest(FULL_REQUEST, request, error)) << error;
  LotRequest again;
  ASSERT_TRUE(parseLotRequest(lotRequestJson(request), again, error)) << error;
  EXPECT_EQ(lotRequestJson(again), lotRequestJson(request));
  EXPECT_EQ(json::parse(lotRequestJson(request)), json::parse(FULL_REQUEST));
  EXPECT_EQ(handlerCategory(request, 5), 2);
  EXPECT_EQ(handlerCategory(request, 6), 6);

  const std::string base = R"("project": "p", "flow": "f", "setting": "s", "lotId": "L")";
  const std::pair<std::string, std::string> refused[] = {
      {"[]", "the lot must be a JSON object"},
      {R"({"project": "p"})", "the lot needs \"flow\" as a string"},
      {"{" + base + R"(, "lotid": "x"})", "a lot has no \"lotid\""},
      {"{" + base + R"(, "retest": 10})",
       "\"retest\" must be true, false or the number of retests from 0 to 9"},
      {"{" + base + R"(, "binMap": {"x": 1}})",
       "\"binMap\" maps hard bins (0 to 65535) to categories (0 to 65535): \"x\" doesn't fit"},
      {"{" + base + R"(, "guards": {"siteYeld": {}}})",
       "there is no guard \"siteYeld\" (siteFailsInRow, siteYield, lotYield)"},
      {"{" + base + R"(, "guards": {"lotYield": {"percent": 101, "after": 1}}})",
       "guards.lotYield.percent must be a number from 0 to 100"},
      {"{" + base + R"(, "wafer": {"units": "km"}})",
       "wafer.units must be \"in\", \"cm\", \"mm\" or \"mil\""},
      {"{" + base + R"(, "wafer": {"flat": "X"}})", "wafer.flat must be one of the letters UDLR"},
      {"{" + base + R"(, "pat": {"limit": "l.json"}})", "\"pat\" has no \"limit\""},
      {"{" + base + R"(, "pat": true})", "\"pat\" must be an object"},
  };
  for (const auto& [body, message] : refused) {
    error.clear();
    EXPECT_FALSE(parseLotRequest(body, request, error)) << body;
    EXPECT_EQ(error, message) << body;
  }
}

// A station that crashed leaves its driver behind; the station started again ends it, and only
// that very process.
TEST(DriverPidFile, EndsTheDriverLeftOverFromBeforeAndNoOtherProcess) {
  TempDir dir;
  const std::filesystem::path file = dir.path("driver.pid");
  ChildProcess::Options options;
  options.argv = {ATE_MUTE_DRIVER_PATH};
  ChildProcess leftover(options);
  recordDriver(file, leftover.id());
  const Leftover ended = endLeftoverDriver(file);
  EXPECT_FALSE(ended.stillRuns);
  EXPECT_NE(ended.message.find("ended the driver left over from before"), std::string::npos)
      << ended.message;
  EXPECT_TRUE(leftover.wait(std::chrono::seconds(10)).has_value()) << "it still runs";
  EXPECT_FALSE(std::filesystem::exists(file));

  // A process id that now names another process (its start differs) is left alone.
  ChildProcess other(options);
  dir.write("driver.pid", std::to_string(other.id()) + " another-start\n");
  EXPECT_EQ(endLeftoverDriver(file).message, "");
  EXPECT_FALSE(other.wait(std::chrono::milliseconds(200)).has_value()) << "it was ended";
}

}  // namespace

namespace {

// The lot controller in this process with the real driver and the example project, and a
// handler that answers each BIN with its next SOT at once, from within the BIN's send.
TEST(LotController, AHandlerThatAnswersABinAtOnceIsNeverRefused) {
  StationFolders folders;
  SessionOptions session;
  session.driver = ATE_DRIVER_PATH;
  session.datalogDir = folders.datalogs;
  session.lotFile = folders.datalogs + "/.lot/lot.txt";
  EventLog log(1000);
  ProjectCatalog catalog(folders.projects, ATE_LIBRARY_SUFFIX);
  StationSession driver(session, log);
  LotOptions options;
  options.datalogDir = folders.datalogs;
  options.lotFile = session.lotFile;
  options.handlerConfigured = true;
  std::vector<std::string> said;
  std::mutex mutex;
  std::condition_variable changed;
  LotController* lot = nullptr;
  int touchdowns = 0;
  LotController controller(options, catalog, driver, log, [&](const std::string& line) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      said.push_back(line);
      if (line.rfind("BIN", 0) == 0) ++touchdowns;
    }
    changed.notify_all();
    if (line.rfind("BIN", 0) == 0 && touchdowns < 10) lot->handlerLine("SOT 1 2 3 4", false);
    return true;
  });
  lot = &controller;
  driver.start();
  ASSERT_TRUE(driver.waitReady(TEST_TIMEOUT));
  controller.handlerConnection(true, "test");
  LotRequest request;
  std::string error;
  ASSERT_TRUE(parseLotRequest(
      R"({"project": "pmic", "flow": "pmic_flow.json", "setting": "lot_4_sites.json",
          "lotId": "FAST"})",
      request, error));
  ASSERT_EQ(controller.start(request).status, 200);
  controller.handlerLine("SOT 1 2 3 4", false);
  std::unique_lock<std::mutex> lock(mutex);
  ASSERT_TRUE(changed.wait_for(lock, TEST_TIMEOUT, [&] { return touchdowns == 10; }));
  EXPECT_EQ(std::count_if(said.begin(), said.end(),
                          [](const std::string& line) { return line.rfind("ERROR", 0) == 0; }),
            0)
      << testing::PrintToString(said);
  lock.unlock();
  EXPECT_EQ(controller.end().status, 200);
}

}  // namespace
