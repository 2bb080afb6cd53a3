// The execution loop through the real driver, with the fixture libraries.
#include <gtest/gtest.h>

#include <algorithm>

#include "DriverSession.h"
#include "Fixtures.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

class ExecutionTest : public testing::Test {
 protected:
  // Starts a driver and loads library with a flow of items; expects the load's reply.
  void load(const std::string& library, const std::vector<FlowEntry>& items,
            const std::string& reply = "1^done") {
    driver.send("1^qv -p load " + fixturePath(library) + " " +
                dir.write("flow.json", flowJson(items)));
    driver.outUntil(reply);
  }

  std::string setting(int loopcount, bool failstop, const Lines& duts = {"D1"}) {
    return dir.write("setting" + std::to_string(files++) + ".json",
                     settingJson(loopcount, failstop, duts));
  }

  // Lines of one pass of library: test_start, the calls, test_end.
  static Lines pass(const std::string& library, const Lines& calls, const std::string& dut = "D1") {
    Lines lines = {"[" + library + "] test_start DUT=" + dut};
    for (const std::string& call : calls) lines.push_back("[" + library + "] " + call);
    lines.push_back("[" + library + "] test_end");
    return lines;
  }

  static Lines repeat(const Lines& lines, int times) {
    Lines all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), lines.begin(), lines.end());
    return all;
  }

  TempDir dir;
  DriverSession driver;
  int files = 0;
};

TEST_F(ExecutionTest, RunsEveryPassWithTheSelectedFunctionsInFlowOrder) {
  load("fixture_full",
       {{"test_pass"}, {"no_such_function", false}, {"test_record"}, {"test_pass2"}});
  driver.send("2^qv -p run " + setting(3, false, {"D1", "D2"}));
  const Lines expected = pass(
      "fixture_full",
      {"test_pass",
       "test_record items=test_pass+,no_such_function-,test_record+,test_pass2+ loopcount=3 "
       "failstop=false DUT=D1,D2",
       "test_record item id=102 desc=desc test_record hbin=3 sbin=4 loop=0 flag=fl pattern=pat "
       "jumps=pj/fj level=ch/cl/ioh/iol/vih/vil/voh/vol/vt [7 P2 -0.5..1.5 V]",
       "test_pass2"},
      "D1,D2");
  EXPECT_EQ(driver.runOutput("2"), repeat(expected, 3));
  driver.exit();
  EXPECT_TRUE(driver.restErr().empty()) << "an unselected item is never looked up";
}

TEST_F(ExecutionTest, FailStopEndsOnlyThePassesWalk) {
  load("fixture_full", {{"test_pass"}, {"test_fail"}, {"test_pass2"}, {"test_throw"}});
  driver.send("2^qv -p run " + setting(2, true));
  EXPECT_EQ(driver.runOutput("2"), repeat(pass("fixture_full", {"test_pass", "test_fail"}), 2));

  driver.send("3^qv -p run " + setting(2, false));
  EXPECT_EQ(
      driver.runOutput("3"),
      repeat(pass("fixture_full", {"test_pass", "test_fail", "test_pass2", "test_throw"}), 2));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(driver.err(),
              "Test project function test_throw threw an exception: measurement out of reach");
  }
  driver.exit();
}

TEST_F(ExecutionTest, AnExceptionCountsAsAFailedTest) {
  load("fixture_full", {{"test_throw"}, {"test_pass"}});
  driver.send("2^qv -p run " + setting(2, true));
  EXPECT_EQ(driver.runOutput("2"), repeat(pass("fixture_full", {"test_throw"}), 2));
  driver.send("3^qv -p run " + setting(1, false));
  EXPECT_EQ(driver.runOutput("3"), pass("fixture_full", {"test_throw", "test_pass"}));
  driver.exit();
  EXPECT_EQ(driver.restErr(),
            Lines(3,
                  "Test project function test_throw threw an exception: measurement out of "
                  "reach"));
}

TEST_F(ExecutionTest, ExceptionsFromTheHooksAreReportedAndTheCallsCount) {
  load("fixture_throwing", {{"test_pass"}});
  EXPECT_EQ(driver.err(),
            "Test project function prj_init threw an exception: prj_init failed on purpose");
  driver.send("2^qv -p run " + setting(2, false));
  EXPECT_EQ(driver.runOutput("2"), repeat(pass("fixture_throwing", {"test_pass"}), 2));
  driver.exit();
  EXPECT_EQ(driver.restErr(),
            repeat({"Test project function test_start threw an exception: test_start failed on "
                    "purpose",
                    "Test project function test_end threw an exception that is not a "
                    "std::exception"},
                   2));
}

TEST_F(ExecutionTest, AMissingTestFunctionIsReportedOncePerPass) {
  load("fixture_full", {{"test_pass"}, {"misspelt_function"}, {"test_pass2"}});
  driver.send("2^qv -p run " + setting(2, true));
  EXPECT_EQ(driver.runOutput("2"), repeat(pass("fixture_full", {"test_pass", "test_pass2"}), 2));
  driver.exit();
  EXPECT_EQ(driver.restErr(), Lines(2, "Failed to get function address"));
}

TEST_F(ExecutionTest, EndsWhenTestStartOrTestEndIsMissing) {
  load("fixture_nostart", {{"test_pass"}});
  driver.send("2^qv -p run " + setting(3, false));
  EXPECT_TRUE(driver.runOutput("2").empty());

  driver.send("3^qv -p load " + fixturePath("fixture_noend") + " " + dir.path("flow.json"));
  driver.outUntil("3^done");
  driver.send("4^qv -p run " + setting(3, false));
  // The failing pass has called its test functions already.
  EXPECT_EQ(driver.runOutput("4"),
            (Lines{"[fixture_noend] test_start DUT=D1", "[fixture_noend] test_pass"}));
  driver.exit();
}

TEST_F(ExecutionTest, RunsNoPassForANegativeCountOrWithoutALibrary) {
  driver.send("1^qv -p run " + setting(2, false));
  EXPECT_TRUE(driver.runOutput("1").empty());
  load("fixture_full", {{"test_pass"}}, "1^done");
  driver.send("2^qv -p run " + setting(-1, false));
  EXPECT_TRUE(driver.runOutput("2").empty());
  driver.exit();
  EXPECT_TRUE(driver.restErr().empty());
}

TEST_F(ExecutionTest, EachCallGetsItsOwnCopyOfTheRecords) {
  load("fixture_full", {{"test_mutate"}, {"test_mutate"}});
  driver.send("2^qv -p run " + setting(2, false));
  EXPECT_EQ(driver.runOutput("2"),
            repeat(pass("fixture_full", Lines(2, "test_mutate sees items=2 loopcount=2")), 2));
  driver.exit();
}

TEST_F(ExecutionTest, StopLetsThePassFinishAndBothRepliesCome) {
  load("fixture_full", {{"test_slow", true, 300}});
  driver.send("2^qv -p run " + setting(0, false));
  driver.outUntil("[fixture_full] test_slow begin");
  driver.send("3^qv -p stop");
  Lines rest;
  bool stopped = false;
  for (std::string line; (line = driver.out()) != "2^execute done";) {
    ASSERT_NE(line, "<timeout>");
    if (line == "3^done") {
      stopped = true;
    } else {
      rest.push_back(line);
    }
  }
  if (!stopped) {
    EXPECT_EQ(driver.out(), "3^done");
  }
  // The pass under way finished, test_end included, and no new pass began.
  ASSERT_GE(rest.size(), 2u);
  EXPECT_EQ(rest[rest.size() - 2], "[fixture_full] test_slow end");
  EXPECT_EQ(rest.back(), "[fixture_full] test_end");
  EXPECT_EQ(std::count(rest.begin(), rest.end(), "[fixture_full] test_start DUT=D1"), 0);
  driver.exit();
}

TEST_F(ExecutionTest, OneStopEndsTwoRunsSideBySide) {
  load("fixture_full", {{"test_slow", true, 20}});
  driver.send("2^qv -p run " + setting(0, false, {"A"}));
  driver.outUntil("[fixture_full] test_start DUT=A");
  driver.send("3^qv -p run " + setting(0, false, {"B"}));
  // Once the second loop has begun a pass, it has cleared the stop flag already.
  driver.outUntil("[fixture_full] test_start DUT=B");
  driver.send("4^qv -p stop");
  Lines ends;
  while (ends.size() < 2) {
    const std::string line = driver.out();
    ASSERT_NE(line, "<timeout>");
    if (line == "2^execute done" || line == "3^execute done") ends.push_back(line);
  }
  driver.exit();
  Lines after = driver.restOut();
  EXPECT_EQ(std::count(after.begin(), after.end(), "[fixture_full] test_start DUT=A") +
                std::count(after.begin(), after.end(), "[fixture_full] test_start DUT=B"),
            0);
}

TEST_F(ExecutionTest, UnloadWaitsForTheRunningFunctionThenReleasesTheLibrary) {
  load("fixture_full", {{"test_slow", true, 1500}});
  driver.send("2^qv -p run " + setting(0, false));
  driver.outUntil("[fixture_full] test_slow begin");
  driver.send("3^qv -p unload");
  // The reply doesn't wait for the function; the release does.
  Lines lines = driver.outUntil("2^execute done");
  const auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  ASSERT_LT(at("3^done"), static_cast<long>(lines.size()));
  ASSERT_LT(at("[fixture_full] unloaded"), static_cast<long>(lines.size()));
  EXPECT_LT(at("3^done"), at("[fixture_full] test_slow end"));
  EXPECT_LT(at("[fixture_full] test_slow end"), at("[fixture_full] unloaded"));
  // With the library gone, test_end isn't found and the loop ends.
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "[fixture_full] test_end"), 0);
  driver.exit();
}

TEST_F(ExecutionTest, ShortRunsOneAfterAnotherAllFinish) {
  // Each run's thread ends while the next one starts, and both throw from the library.
  load("fixture_full", {{"test_throw"}});
  const std::string once = setting(1, false);
  for (int i = 2; i < 152; ++i) {
    const std::string n = std::to_string(i);
    driver.send(n + "^qv -p run " + once);
    ASSERT_EQ(driver.runOutput(n), pass("fixture_full", {"test_throw"})) << "run " << n;
    ASSERT_EQ(driver.err(),
              "Test project function test_throw threw an exception: measurement out of reach");
  }
  driver.exit();
}

TEST_F(ExecutionTest, ExitDoesNotWaitForARunningPass) {
  load("fixture_full", {{"test_slow", true, 60000}});
  driver.send("2^qv -p run " + setting(0, false));
  driver.outUntil("[fixture_full] test_slow begin");
  const auto asked = std::chrono::steady_clock::now();
  driver.exit();
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(30));
  const Lines rest = driver.restOut();
  EXPECT_EQ(std::count(rest.begin(), rest.end(), "[fixture_full] test_slow end"), 0);
  EXPECT_EQ(std::count(rest.begin(), rest.end(), "2^execute done"), 0);
  EXPECT_TRUE(driver.restErr().empty()) << "nothing may crash or complain on the way out";
}

#if !defined(_WIN32) && !defined(ATE_SANITIZED)
TEST(ExecutionThreadStart, ARunWhoseThreadCantStartIsAnswered) {
  // Threads take the stack limit as their stack size; under this address space limit no thread
  // fits, while the main thread's stack grows as it needs.
  ChildProcess::Options options;
  options.argv = {ATE_DRIVER_PATH};
  options.stackLimit = 2ull << 30;
  options.addressSpaceLimit = 1ull << 30;
  DriverSession driver(options);
  TempDir dir;
  driver.send("1^qv -p run " + dir.write("setting.json", settingJson(1, false, {"D1"})));
  EXPECT_EQ(driver.out(), "1^error,error info=4099");
  EXPECT_EQ(driver.err().rfind("Cannot start the execution thread: ", 0), 0u);
  driver.send("2^qv -p stop");
  EXPECT_EQ(driver.out(), "2^done");
  driver.exit();
}
#endif

}  // namespace
