// The example test project run through the reference host, as a new user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "host/ChildProcess.h"
#include "tests/support/DriverSession.h"
#include "tests/support/TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

struct HostRun {
  int status;
  Lines out;
  Lines err;
};

HostRun runHost(const Lines& args) {
  // The example project keeps its datalog under the working folder.
  TempDir workingFolder;
  ChildProcess::Options options;
  options.workingDirectory = workingFolder.path("");
  options.argv = {ATE_HOST_PATH, "--driver", ATE_DRIVER_PATH};
  options.argv.insert(options.argv.end(), args.begin(), args.end());
  ChildProcess host(options);
  host.closeInput();
  std::optional<int> status = host.wait(std::chrono::seconds(120));
  EXPECT_TRUE(status) << "the host didn't end";
  return {status.value_or(-1), host.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT),
          host.readRemaining(ChildProcess::Stream::err, TEST_TIMEOUT)};
}

std::size_t count(const Lines& lines, const std::string& pattern) {
  const std::regex re(pattern);
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return std::regex_search(line, re); });
}

const std::string LIBRARY = ATE_EXAMPLE_LIBRARY;
const std::string FLOW = std::string(ATE_EXAMPLE_DIR) + "/pmic_flow.json";

TEST(Host, RunsTheExampleProjectThroughAWholeSession) {
  // A script as a person writes one: comments, blank lines, CR LF line ends.
  TempDir dir;
  const std::string script =
      dir.write("session.txt", "# the example, three passes\r\n\r\nload " + LIBRARY + " " + FLOW +
                                   "\r\n  run " + std::string(ATE_EXAMPLE_DIR) +
                                   "/three_passes.json\r\nwait\r\n# done\r\nunload\r\nexit\r\n");
  const HostRun run = runHost({"--script", script});
  EXPECT_EQ(run.status, 0);
  for (const char* line : {"<- 1^done", "<- 2^done", "<- 2^execute done", "<- 3^done",
                           "host: the driver ended with status 0", "   SigDefine Name:VOUT1"}) {
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), line), 1) << line;
  }
  EXPECT_EQ(count(run.out, "^   pass [0-9]+ done$"), 3u);
  // Four devices, three passes: DUT3 fails its LDO1 output every time; without fail-stop the
  // reference is still trimmed and measured; the unselected item never runs.
  EXPECT_EQ(count(run.out, "output_voltage  DUT3  VOUT1 = .* FAIL$"), 3u);
  EXPECT_EQ(count(run.out, "FAIL$"), 3u);
  EXPECT_EQ(count(run.out, "reference_trim  DUT[1-4]  VREF = .* PASS$"), 12u);
  EXPECT_EQ(count(run.out, "load_regulation  "), 0u);
  EXPECT_EQ(count(run.out, "^\\[driver stderr\\]"), 0u);
}

TEST(Host, FailStopEndsEachPassAtTheFailingTest) {
  TempDir dir;
  const std::string setting =
      dir.write("failstop.json", settingJson(2, true, {"DUT1", "DUT2", "DUT3", "DUT4"}));
  const HostRun run = runHost({"load " + LIBRARY + " " + FLOW, "run " + setting, "wait"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(count(run.out, "^   pass [0-9]+ done$"), 2u);
  EXPECT_EQ(count(run.out, "output_voltage  DUT4  VOUT2 = .* PASS$"), 2u);
  EXPECT_EQ(count(run.out, "reference_trim  "), 0u);

  // Without DUT3 nothing fails, and fail-stop changes nothing.
  const std::string good = dir.write("good.json", settingJson(1, true, {"DUT1", "DUT4"}));
  const HostRun passing = runHost({"load " + LIBRARY + " " + FLOW, "run " + good, "wait"});
  EXPECT_EQ(passing.status, 0);
  EXPECT_EQ(count(passing.out, "reference_trim  DUT[14]  VREF = .* PASS$"), 2u);
  EXPECT_EQ(count(passing.out, "FAIL$"), 0u);
}

TEST(Host, StopsARunThatGoesOnUntilStopped) {
  // A loop clears the stop flag as it begins: the stop goes once the run has shown a pass.
  const HostRun run =
      runHost({"--run-timeout", "20", "load " + LIBRARY + " " + FLOW,
               "run " + std::string(ATE_EXAMPLE_DIR) + "/until_stopped_failstop.json", "sleep 0.5",
               "stop", "wait", "unload"});
  EXPECT_EQ(run.status, 0);
  const auto at = [&](const std::string& pattern) {
    const std::regex re(pattern);
    return std::find_if(run.out.begin(), run.out.end(),
                        [&](const std::string& line) { return std::regex_search(line, re); }) -
           run.out.begin();
  };
  EXPECT_LT(at("^   pass 1 on "), at("^-> 3\\^qv -p stop$"))
      << "the sleep shows the driver's lines";
  const auto end = at("^<- 2\\^execute done$");
  ASSERT_LT(end, static_cast<long>(run.out.size()));
  EXPECT_LT(at("^<- 3\\^done$"), end);
  EXPECT_EQ(count(run.out, "^   pass [0-9]+ on "), count(run.out, "^   pass [0-9]+ done$"))
      << "every pass ran to its end";
}

TEST(Host, ReportsErrorRepliesAndBadSessions) {
  const HostRun badFlow = runHost({"load " + LIBRARY + " /no/such/flow.json", "run x", "wait"});
  EXPECT_EQ(badFlow.status, 1);
  EXPECT_EQ(count(badFlow.out, "^<- 1\\^error,error info=4097$"), 1u);
  EXPECT_EQ(count(badFlow.out,
                  "^host: load failed with code 4097: the flow file is missing, unreadable or "
                  "malformed$"),
            1u);
  EXPECT_EQ(count(badFlow.out, "^-> 2\\^"), 0u) << "the session stops at the error";
  EXPECT_EQ(count(badFlow.out, "^-> exit$"), 1u);

  // The driver's messages are passed through, marked.
  const HostRun badSetting = runHost({"run /"});
  EXPECT_EQ(badSetting.status, 1);
  EXPECT_EQ(count(badSetting.out, "^\\[driver stderr\\] Failed to open file!$"), 1u);
  // Also the last words of a driver that dies, when they come after its output has closed.
  const HostRun died = runHost({"--driver", ATE_MUTE_DRIVER_PATH, "stop"});
  EXPECT_EQ(died.status, 3);
  EXPECT_EQ(count(died.out, "^\\[driver stderr\\] mute driver: giving up$"), 1u);
}

TEST(Host, RefusesAMalformedStepBeforeStartingTheDriver) {
  for (const std::string step :
       {"load lib.so", "load a b c", "run", "wait now", "stop after", "stop after soon",
        "stop after -1", "stop soon", "sleep", "sleep 1 2", "sleep 2x", "sleep -1", "unload x",
        "exit 0", "check lib.so"}) {
    const HostRun run = runHost({"wait", step});
    EXPECT_EQ(run.status, 64) << step;
    EXPECT_EQ(run.err, Lines{"ate-host: malformed step \"" + step + "\""});
    EXPECT_TRUE(run.out.empty()) << step;
  }
  EXPECT_EQ(runHost({"launch the rockets"}).err,
            Lines{"ate-host: unknown step \"launch the rockets\""});
  TempDir dir;
  EXPECT_EQ(runHost({"--script", dir.path("missing.txt")}).err,
            Lines{"ate-host: cannot read " + dir.path("missing.txt")});
  EXPECT_EQ(runHost({"--script", dir.write("empty.txt", "# nothing\n\n")}).status, 64);
}

// A check before the load: a clean program goes on to the load, one with an error ends the
// session before anything reaches the driver.
TEST(Host, ChecksTheProgramBeforeTheLoad) {
  const std::string setting = std::string(ATE_EXAMPLE_DIR) + "/three_passes.json";
  const HostRun clean =
      runHost({"check " + LIBRARY + " " + FLOW + " " + setting, "load " + LIBRARY + " " + FLOW});
  EXPECT_EQ(clean.status, 0);
  EXPECT_EQ(count(clean.out, "^host: check passed$"), 1u);
  EXPECT_EQ(count(clean.out, "^<- 1\\^done$"), 1u);

  TempDir dir;
  const std::string flow = dir.write("flow.json", flowJson({{"continuity"}, {"no_such_test"}}));
  const HostRun failed =
      runHost({"check " + LIBRARY + " " + flow + " " + setting, "load " + LIBRARY + " " + flow});
  EXPECT_EQ(failed.status, 1);
  const auto first =
      std::find_if(failed.out.begin(), failed.out.end(),
                   [](const std::string& line) { return line.compare(0, 7, "check: ") == 0; });
  EXPECT_EQ(Lines(first, std::min(first + 3, failed.out.end())),
            (Lines{"check: " + flow +
                       ": /testItems/1/results/0/paramId: warning: paramId 7 is also used by "
                       "/testItems/0/results/0 (the datalog's test numbers should be unique)",
                   "check: " + flow +
                       ": /testItems/1/funcName: error: \"no_such_test\" is not "
                       "exported by " +
                       LIBRARY + ": the driver skips this item on every pass",
                   "host: check failed"}));
  EXPECT_EQ(count(failed.out, "^-> 1\\^"), 0u) << "nothing is sent after a failed check";
}

#ifndef _WIN32
TEST(Host, GivesUpOnADriverThatDiesOrHangs) {
  ChildProcess::Options options;
  options.argv = {ATE_HOST_PATH, "--driver", "/bin/false", "unload"};
  ChildProcess dies(options);
  EXPECT_EQ(dies.wait(TEST_TIMEOUT), std::optional<int>(3));

  // A program that never writes the prompt.
  options.argv = {ATE_HOST_PATH, "--driver", "/bin/cat", "--timeout", "0.5", "unload"};
  ChildProcess hangs(options);
  EXPECT_EQ(hangs.wait(TEST_TIMEOUT), std::optional<int>(2));
  Lines out = hangs.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT);
  EXPECT_EQ(count(out, "^host: timed out waiting for the driver's prompt$"), 1u);
}
#endif

}  // namespace
