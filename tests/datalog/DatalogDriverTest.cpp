// The example project logging through the real driver, which is killed in the middle of a run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "stdf/StdfReader.h"
#include "tests/support/DriverSession.h"
#include "tests/support/TestFiles.h"

TEST(DatalogDriver, AKilledDriverLeavesEveryFinishedPassReadable) {
  TempDir dir;
  const std::string setting =
      dir.write("forever.json", settingJson(0, false, {"DUT1", "DUT2", "DUT3", "DUT4"}));
  ChildProcess::Options options;
  options.argv = {ATE_DRIVER_PATH};
  options.workingDirectory = dir.path("");
  DriverSession driver(options);
  driver.send(std::string("1^qv -p load ") + ATE_EXAMPLE_LIBRARY + " " + ATE_EXAMPLE_DIR +
              "/pmic_flow.json");
  driver.outUntil("1^done");
  driver.send("2^qv -p run " + setting);
  // "pass N done" comes after the pass is in the file.
  int finished = 0;
  while (finished < 2) {
    const std::string line = driver.out();
    ASSERT_NE(line, "<end>");
    ASSERT_NE(line, "<timeout>");
    if (line.find(" done") != std::string::npos && line.rfind("pass ", 0) == 0) ++finished;
  }
  driver.process().kill();
  EXPECT_EQ(driver.process().wait(TEST_TIMEOUT), std::optional<int>(-1));

  const std::vector<std::filesystem::directory_entry> files(
      std::filesystem::directory_iterator(dir.path("datalog")), {});
  ASSERT_EQ(files.size(), 1u);
  std::ifstream in(files[0].path(), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  stdf::StdfReader reader(bytes.data(), bytes.size());
  stdf::Record record;
  std::uint64_t parts = 0;
  std::uint64_t counted = 0;
  std::string last;
  while (reader.next(record)) {
    if (record.is("PRR")) ++parts;
    if (record.is("PCR") && record.unsignedValue("HEAD_NUM") == 255) {
      counted = record.unsignedValue("PART_CNT");
    }
    last = std::string(record.name);
  }
  ASSERT_EQ(reader.error(), nullptr) << reader.error()->message;
  EXPECT_EQ(last, "MRR");
  // Whole passes of four parts, at least the two seen finished, and summaries that agree.
  EXPECT_GE(parts, 8u);
  EXPECT_EQ(parts % 4, 0u);
  EXPECT_EQ(counted, parts);
}
