// The execution loop through the real driver, with the fixture libraries.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>

#include "tests/support/DriverSession.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

const std::string THROW_MESSAGE =
    "Test project function test_throw threw an exception: measurement out of reach";

class ExecutionTest : public testing::Test {
 protected:
  // Loads library with a flow of items; expects the load's reply.
  void load(const std::string& number, const std::string& library,
            const std::vector<FlowEntry>& items) {
    driver.send(number + "^qv -p load " + fixturePath(library) + " " +
                dir.write("flow" + std::to_string(files++) + ".json", flowJson(items)));
    driver.outUntil(number + "^done");
  }

  std::string setting(int loopcount, bool failstop, const Lines& duts = {"D1"}) {
    return dir.write("setting" + std::to_string(files++) + ".json",
                     settingJson(loopcount, failstop, duts));
  }

  // A test_gate item, and what lets the call of a run on duts return.
  // (With forward slashes, which need no escaping in JSON and which Windows takes too.)
  FlowEntry gateItem() const {
    return {"test_gate", true, 0, std::filesystem::path(dir.path("gate")).generic_string()};
  }
  void openGate(const std::string& duts = "D1") const { dir.write("gate." + duts, ""); }

  // Lines of one pass of library: test_start, the calls, test_end.
  static Lines pass(const std::string& library, const Lines& calls, const std::string& dut = "D1") {
    Lines lines = {"[" + library + "] test_start DUT=" + dut};
    for (const std::string& call : calls) lines.push_back("[" + library + "] " + call);
    lines.push_back("[" + library + "] test_end");
    return lines;
  }

  static void append(Lines& to, const Lines& from) {
    to.insert(to.end(), from.begin(), from.end());
  }
  static Lines repeat(const Lines& lines, int times) {
    Lines all;
    for (int i = 0; i < times; ++i) append(all, lines);
    return all;
  }

  static Lines fixtureLines(const Lines& lines) {
    Lines kept;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(kept),
                 [](const std::string& line) { return line.rfind("[fixture_", 0) == 0; });
    return kept;
  }

  TempDir dir;
  DriverSession driver;
  int files = 0;
};

TEST_F(ExecutionTest, RunsPassesAsTheFlowAndTheSettingSay) {
  struct Case {
    std::string library;  // without its "fixture_"
    std::string items;    // funcNames; "-name" is an unselected item
    int loopcount;
    bool failstop;
    int passes;
    Lines calls;  // of each pass
    Lines err;    // of each pass
  };
  const auto words = [](const std::string& text) {
    Lines all;
    std::istringstream in(text);
    for (std::string word; in >> word;) all.push_back(word);
    return all;
  };
  const std::string records =
      "test_record items=test_pass+,no_such_function-,test_record+,test_pass2+ loopcount=3 "
      "failstop=false DUT=D1,D2";
  const std::string item =
      "test_record item id=102 desc=desc test_record hbin=3 sbin=4 loop=0 flag=fl pattern=pat "
      "jumps=pj/fj level=ch/cl/ioh/iol/vih/vil/voh/vol/vt [7 P2 -0.5..1.5 V]";
  const std::string mixed = "test_pass -no_such_function test_record test_pass2";
  const std::string four = "test_pass test_fail test_pass2 test_throw";
  const Lines hooksThrow = {
      "Test project function test_start threw an exception: test_start failed on purpose",
      "Test project function test_end threw an exception that is not a std::exception"};
  const Lines notFound = {"Failed to get function address"};
  const Case cases[] = {
      // Every selected item in flow order, every pass; an unselected one is never looked up.
      {"full", mixed, 3, false, 3, {"test_pass", records, item, "test_pass2"}, {}},
      // Fail-stop ends only the pass's walk; an exception counts as a failed test.
      {"full", four, 2, true, 2, {"test_pass", "test_fail"}, {}},
      {"full", four, 2, false, 2, words(four), {THROW_MESSAGE}},
      {"full", "test_throw test_pass", 2, true, 2, {"test_throw"}, {THROW_MESSAGE}},
      // Exceptions from the hooks are reported, and the calls count (prj_init's: at the load).
      {"throwing", "test_pass", 2, false, 2, {"test_pass"}, hooksThrow},
      // A missing function is reported once per pass and skipped.
      {"full", "test_pass misspelt test_pass2", 2, true, 2, {"test_pass", "test_pass2"}, notFound},
      // Without test_start no pass runs; without test_end the first pass is the last.
      {"nostart", "test_pass", 3, false, 0, {}, {}},
      {"noend", "test_pass", 3, false, 1, {"test_pass"}, {}},
      // A negative count runs no pass.
      {"full", "test_pass", -1, false, 0, {}, {}},
  };

  // Without a library no pass runs.
  driver.send("1^qv -p run " + setting(2, false));
  EXPECT_TRUE(driver.runOutput("1").empty());
  int number = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.library + ": " + c.items);
    const std::string library = "fixture_" + c.library;
    std::vector<FlowEntry> items;
    for (const std::string& name : words(c.items)) {
      items.push_back(name[0] == '-' ? FlowEntry{name.substr(1), false} : FlowEntry{name});
    }
    load(std::to_string(number++), library, items);
    if (c.library == "throwing") {
      EXPECT_EQ(driver.err(),
                "Test project function prj_init threw an exception: prj_init failed on purpose");
    }
    const std::string run = std::to_string(number++);
    const bool two = c.items.find("test_record") != std::string::npos;
    driver.send(run + "^qv -p run " +
                setting(c.loopcount, c.failstop, two ? Lines{"D1", "D2"} : Lines{"D1"}));
    Lines expected = repeat(pass(library, c.calls, two ? "D1,D2" : "D1"), c.passes);
    if (c.library == "noend") expected.pop_back();  // it has no test_end to announce
    EXPECT_EQ(driver.runOutput(run), expected);
    for (const std::string& message : repeat(c.err, c.passes)) EXPECT_EQ(driver.err(), message);
  }
  driver.exit();
  EXPECT_TRUE(driver.restErr().empty());

  // The driver's lines and the libraries' (which share its streams) end as the platform's do.
#ifdef _WIN32
  const auto wrong = &ChildProcess::lfLines;  // standard output and error are text streams
#else
  const auto wrong = &ChildProcess::crlfLines;
#endif
  for (const auto stream : {ChildProcess::Stream::out, ChildProcess::Stream::err}) {
    EXPECT_EQ((driver.process().*wrong)(stream), 0u);
    EXPECT_GT(driver.process().lfLines(stream) + driver.process().crlfLines(stream), 10u);
  }
}

// Two runs side by side, each in a pass: one stop lets each pass run to its end and the loops
// begin no other. Exit, on the other hand, waits for no pass.
TEST_F(ExecutionTest, StopLetsEachPassRunToItsEndExitWaitsForNone) {
  load("1", "fixture_full", {gateItem(), {"test_pass"}});
  driver.send("2^qv -p run " + setting(0, false, {"A"}));
  driver.send("3^qv -p run " + setting(0, false, {"B"}));
  // Once a loop has begun a pass, it has cleared the stop flag already.
  driver.outUntilAll(
      {"[fixture_full] test_gate begin DUT=A", "[fixture_full] test_gate begin DUT=B"});
  driver.send("4^qv -p stop");
  driver.outUntil("4^done");
  for (const std::string dut : {"A", "B"}) {
    openGate(dut);  // the other run still waits in its gate
    EXPECT_EQ(driver.outUntil((dut == "A" ? "2" : "3") + std::string("^execute done")),
              (Lines{"[fixture_full] test_gate end DUT=" + dut, "[fixture_full] test_pass",
                     "[fixture_full] test_end"}));
  }

  driver.send("5^qv -p run " + setting(0, false));
  driver.outUntil("[fixture_full] test_gate begin DUT=D1");
  driver.exit();  // fails unless the driver ends at once
  const Lines rest = driver.restOut();
  EXPECT_EQ(std::count(rest.begin(), rest.end(), "5^execute done"), 0);
  EXPECT_TRUE(driver.restErr().empty()) << "nothing may crash or complain on the way out";
}

TEST_F(ExecutionTest, ALibraryChangedDuringAPassTakesEffectAtTheNextLookup) {
  struct Case {
    Lines commands;  // sent while the pass waits in test_gate; each must be answered
    Lines replies;
    bool continues;  // whether the loop goes on with another pass
    Lines expected;  // the libraries' lines from the commands to the release
  };
  const std::string other = fixturePath("fixture_noinit") + " " +
                            dir.write("other.json", flowJson({{"test_pass"}, {"test_pass2"}}));
  const std::string gateEnd = "[fixture_full] test_gate end DUT=D1";
  const std::string unloaded = "[fixture_full] unloaded";
  // The release waits for the running function; then nothing is found and the loop ends. The
  // replaced library stays loaded; the loop goes on in the new one, with its own flow.
  const std::vector<Case> cases = {
      {{"unload"}, {"3^done"}, false, {gateEnd, unloaded}},
      {{"load " + other}, {"3^error,error info=4"}, true, {gateEnd}},
      {{"unload", "load " + other}, {"3^done", "4^error,error info=4"}, true, {gateEnd, unloaded}},
  };
  const Lines goesOn = {"[fixture_noinit] test_end", "[fixture_noinit] test_start DUT=D1",
                        "[fixture_noinit] test_gate begin DUT=D1",
                        "[fixture_noinit] test_gate end DUT=D1", "[fixture_noinit] test_end"};
  std::optional<DriverSession> another;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.commands.back());
    DriverSession& session = &c == &cases.front() ? driver : another.emplace();
    session.send("1^qv -p load " + fixturePath("fixture_full") + " " +
                 dir.write("flow.json", flowJson({gateItem()})));
    session.outUntil("1^done");
    session.send("2^qv -p run " + setting(0, false));
    session.outUntil("[fixture_full] test_gate begin DUT=D1");
    for (std::size_t i = 0; i < c.commands.size(); ++i) {
      session.send(std::to_string(3 + i) + "^qv -p " + c.commands[i]);
    }
    Lines lines = session.outUntilAll(c.replies);
    Lines expected = c.expected;
    openGate();
    if (c.continues) {
      append(lines, session.outUntil("[fixture_noinit] test_gate begin DUT=D1"));
      lines.push_back("[fixture_noinit] test_gate begin DUT=D1");
      session.send("9^qv -p stop");
      append(lines, session.outUntil("9^done"));
      openGate();
      append(expected, goesOn);
    }
    append(lines, session.outUntil("2^execute done"));
    EXPECT_EQ(fixtureLines(lines), expected);
    session.exit();
  }
}

TEST_F(ExecutionTest, LinesStayWholeWhileARunWritesAndCommandsAreAnswered) {
  // The run writes lines from its thread as fast as it can, while the main thread answers.
  load("1", "fixture_full", {{"test_flood", true, 500}});
  driver.send("2^qv -p run " + setting(0, false));
  const std::string flood =
      "[fixture_full] flood "
      "0123456789abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  driver.outUntilAll({"executeLoop execute", "2^done", flood});
  const auto passLine = [&](const std::string& line) {
    return line == flood || line == "[fixture_full] test_start DUT=D1" ||
           line == "[fixture_full] test_end";
  };
  // Thousands of commands, and more until the run's lines came between replies (on a busy
  // machine the run may get no processor for a while).
#ifdef ATE_SANITIZED
  // The instrumented reader here falls far behind the flood; fewer replies keep the test short.
  constexpr int ENOUGH = 300;
#else
  constexpr int ENOUGH = 3000;
#endif
  int sent = 0;
  int answered = 0;
  int interleaved = 0;  // the run's lines between the first reply and the last
  while (answered < ENOUGH || interleaved < ENOUGH) {
    ASSERT_LT(sent, 50000) << "the run wrote nothing while the commands were answered";
    std::string commands;
    for (const int end = sent + 500; sent < end;) {
      commands += std::to_string(10 + sent++) + "^qv -p load x\n";
    }
    ASSERT_TRUE(driver.process().write(commands));
    while (answered < sent) {
      const std::string line = driver.out();
      if (passLine(line)) {
        interleaved += answered > 0;
        continue;
      }
      ASSERT_EQ(line, std::to_string(10 + answered) + "^error,error info=1")
          << "a broken or unexpected line after " << answered << " replies";
      ++answered;
    }
  }
  driver.send("9^qv -p stop");
  for (const std::string& line : driver.outUntilAll({"9^done", "2^execute done"})) {
    EXPECT_TRUE(passLine(line) || line == "9^done" || line == "2^execute done") << line;
  }
  driver.exit();
}

TEST_F(ExecutionTest, ShortRunsOneAfterAnotherAllFinish) {
  // Each run's thread ends while the next one starts, and both throw from the library.
  load("1", "fixture_full", {{"test_throw"}});
  const std::string once = setting(1, false);
  for (int i = 2; i < 152; ++i) {
    const std::string n = std::to_string(i);
    driver.send(n + "^qv -p run " + once);
    ASSERT_EQ(driver.runOutput(n), pass("fixture_full", {"test_throw"})) << "run " << n;
    ASSERT_EQ(driver.err(), THROW_MESSAGE);
  }
  driver.exit();
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
