// The example test project run through the reference host, as a new user runs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include "ChildProcess.h"
#include "DriverSession.h"
#include "TestFiles.h"

namespace {

using Lines = std::vector<std::string>;

struct HostRun {
  int status;
  Lines out;
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
  return {status.value_or(-1), host.readRemaining(ChildProcess::Stream::out, TEST_TIMEOUT)};
}

std::size_t count(const Lines& lines, const std::string& pattern) {
  const std::regex re(pattern);
  return std::count_if(lines.begin(), lines.end(),
                       [&](const std::string& line) { return std::regex_search(line, re); });
}

const std::string LIBRARY = ATE_EXAMPLE_LIBRARY;
const std::string FLOW = std::string(ATE_EXAMPLE_DIR) + "/pmic_flow.json";

TEST(Host, RunsTheExampleProjectThroughAWholeSession) {
  const HostRun run = runHost({"load " + LIBRARY + " " + FLOW,
                               "run " + std::string(ATE_EXAMPLE_DIR) + "/three_passes.json", "wait",
                               "unload", "exit"});
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
  const HostRun run =
      runHost({"load " + LIBRARY + " " + FLOW,
               "run " + std::string(ATE_EXAMPLE_DIR) + "/until_stopped_failstop.json",
               "stop after 0.3", "wait", "unload"});
  EXPECT_EQ(run.status, 0);
  const auto at = [&](const std::string& line) {
    return std::find(run.out.begin(), run.out.end(), line) - run.out.begin();
  };
  const auto end = at("<- 2^execute done");
  ASSERT_LT(end, static_cast<long>(run.out.size()));
  EXPECT_LT(at("<- 3^done"), static_cast<long>(run.out.size()));
  EXPECT_EQ(count(run.out, "^   pass [0-9]+ on "), count(run.out, "^   pass [0-9]+ done$"))
      << "every pass ran to its end";
  EXPECT_GE(count(run.out, "^   pass [0-9]+ done$"), 1u);
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

  EXPECT_EQ(runHost({"launch the rockets"}).status, 64);
  EXPECT_EQ(runHost({"stop after soon"}).status, 64);
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
