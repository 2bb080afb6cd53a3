// Loading and unloading test project libraries through the real driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#ifndef _WIN32
#include <unistd.h>
#endif

#include "tests/support/DriverSession.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestFiles.h"

namespace {

class LoadTest : public testing::Test {
 protected:
  TempDir dir;
  const std::string flow = dir.write("flow.json", flowJson({{"test_pass"}, {"test_pass2"}}));
  const std::string once = dir.write("once.json", settingJson(1, false, {"D1"}));
};

TEST_F(LoadTest, ListsTheFlowThenInitialisesTheLibraryOnce) {
  DriverSession driver;
  driver.send("1^qv -p load " + fixturePath("fixture_full") + " " + flow);
  EXPECT_EQ(driver.out(), "FuncName: test_pass, FuncId: 100");
  EXPECT_EQ(driver.out(), "    Result Param: P0, Max: 1.5");
  EXPECT_EQ(driver.out(), "FuncName: test_pass2, FuncId: 101");
  EXPECT_EQ(driver.out(), "    Result Param: P1, Max: 1.5");
  EXPECT_EQ(driver.out(), "[fixture_full] prj_init");
  EXPECT_EQ(driver.out(), "1^done");
  driver.exit();
  EXPECT_TRUE(driver.restOut().empty()) << "prj_init must be called once";
  EXPECT_TRUE(driver.restErr().empty());
}

TEST_F(LoadTest, ReportsTheLoadersCodeForALibraryThatCantBeLoaded) {
  const std::string notALibrary = dir.write("not-a-library.so", "this is text, not code\n");
  std::filesystem::create_directory(dir.path("folder"));
  struct Case {
    std::string library;
    std::vector<std::string> codes;  // the loader's number, one of these
  };
  std::vector<Case> cases = {{dir.path("missing.so"), {"126"}}, {notALibrary, {"193"}}};
#ifdef _WIN32
  // Windows refuses to open a directory as a module (5, access denied); Wine's loader doesn't
  // find a module there (126).
  cases.push_back({dir.path("folder"), {"5", "126"}});
#else
  cases.push_back({dir.path("folder"), {"5"}});
  cases.push_back({fixturePath("fixture_undefined"), {"127"}});
  // A library for the other word size (a 32-bit ELF header), and one the driver may not read.
  cases.push_back({dir.write("elf32.so",
                             "\x7f"
                             "ELF\x01\x01\x01" +
                                 std::string(57, '\0')),
                   {"193"}});
  const std::string unreadable = dir.path("unreadable.so");
  std::filesystem::copy_file(fixturePath("fixture_full"), unreadable);
  std::filesystem::permissions(unreadable, std::filesystem::perms::none);
  cases.push_back({unreadable, {"5"}});
  // Root reads any file: without the capabilities that allow it, the driver can't.
  ChildProcess::Options options;
  options.argv = {ATE_DRIVER_PATH};
  if (geteuid() == 0) {
    options.argv.insert(options.argv.begin(),
                        {"/usr/bin/setpriv", "--bounding-set=-dac_override,-dac_read_search"});
  }
#endif

#ifdef _WIN32
  DriverSession driver;
#else
  DriverSession driver(options);
#endif
  int number = 1;
  for (const Case& c : cases) {
    const std::string n = std::to_string(number++);
    driver.send(n + "^qv -p load " + c.library + " " + flow);
    std::vector<std::string> lines = driver.outUntil(n + "^error,error info=3");
    ASSERT_FALSE(lines.empty()) << c.library;
    const std::string code = lines.back();
    lines.pop_back();
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "FuncName: test_pass, FuncId: 100", "    Result Param: P0, Max: 1.5",
                         "FuncName: test_pass2, FuncId: 101", "    Result Param: P1, Max: 1.5"}))
        << c.library;
    EXPECT_NE(std::find(c.codes.begin(), c.codes.end(), code), c.codes.end())
        << c.library << " gave " << code;
    const std::string message = driver.err();
    EXPECT_EQ(message.rfind("Cannot load library \"" + c.library + "\": ", 0), 0u) << message;
  }
  driver.exit();
}

TEST_F(LoadTest, AFailedLoadKeepsTheLibraryAndUnloadReleasesIt) {
  DriverSession driver;
  driver.send("1^qv -p load " + fixturePath("fixture_full") + " " + flow);
  driver.outUntil("1^done");
  const std::string broken = dir.write("broken.json", flowJson({{"x"}}).substr(1));
  driver.send("2^qv -p load " + fixturePath("fixture_noinit") + " " + broken);
  EXPECT_EQ(driver.out(), "2^error,error info=4097");
  EXPECT_EQ(driver.err().rfind("Cannot read flow file \"" + broken + "\": ", 0), 0u);
  driver.send("3^qv -p run " + once);
  EXPECT_EQ(
      driver.runOutput("3"),
      (std::vector<std::string>{"[fixture_full] test_start DUT=D1", "[fixture_full] test_pass",
                                "[fixture_full] test_pass2", "[fixture_full] test_end"}));

  driver.send("4^qv -p unload");
  EXPECT_EQ(driver.out(), "[fixture_full] unloaded");
  EXPECT_EQ(driver.out(), "4^done");
  driver.send("5^qv -p unload");
  EXPECT_EQ(driver.out(), "5^done");
  // Nothing is found any more: the run ends before its first pass.
  driver.send("6^qv -p run " + once);
  EXPECT_TRUE(driver.runOutput("6").empty());
  driver.exit();
  EXPECT_TRUE(driver.restOut().empty());
}

TEST_F(LoadTest, ALaterLoadReplacesTheHandleAndKeepsTheOldLibraryLoaded) {
  DriverSession driver;
  driver.send("1^qv -p load " + fixturePath("fixture_full") + " " + flow);
  driver.outUntil("1^done");
  driver.send("2^qv -p load " + fixturePath("fixture_noinit") + " " + flow);
  EXPECT_EQ(driver.outUntil("2^error,error info=4").size(), 4u) << "only the listing";

  // Its other functions are found.
  driver.send("3^qv -p run " + once);
  EXPECT_EQ(
      driver.runOutput("3"),
      (std::vector<std::string>{"[fixture_noinit] test_start DUT=D1", "[fixture_noinit] test_pass",
                                "[fixture_noinit] test_pass2", "[fixture_noinit] test_end"}));

  // Unload releases the current library only; the replaced one stays for the process's life.
  driver.send("4^qv -p unload");
  EXPECT_EQ(driver.out(), "[fixture_noinit] unloaded");
  EXPECT_EQ(driver.out(), "4^done");

  // A library loaded twice counts twice with the loader: one unload doesn't release it.
  driver.send("5^qv -p load " + fixturePath("fixture_noend") + " " + flow);
  driver.outUntil("5^done");
  driver.send("6^qv -p load " + fixturePath("fixture_noend") + " " + flow);
  driver.outUntil("6^done");
  driver.send("7^qv -p unload");
  EXPECT_EQ(driver.out(), "7^done");
  driver.exit();
  EXPECT_TRUE(driver.restOut().empty());
}

}  // namespace
