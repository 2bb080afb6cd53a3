#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>
#include <string>

#include "chanmap/chanmap.h"
#include "chanmap/testa.h"

#if !defined(_WIN32)
#include <dlfcn.h>
#endif

// Defined and exported by the library, deliberately absent from its header.
extern "C" CHANMAP_API DPS dpsInstance;

namespace {

std::string stdoutOf(const std::function<void()>& action) {
  testing::internal::CaptureStdout();
  action();
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(DPS, SignalReportsTheRecordWithSitesInAscendingOrder) {
  SigDefine sig("VDD", "power", "7", {});
  sig.siteMaps[2] = "CH_B";
  sig.siteMaps[1] = "CH_A";
  sig.siteMaps[10] = "CH_J";
  DPS supply;
  EXPECT_EQ(stdoutOf([&] { supply.signal(sig); }),
            "SigDefine Type:power\nSigDefine Name:VDD\nSigDefine No:7\nSigDefine Map Size:3\n"
            "site:1  channel:CH_A\nsite:2  channel:CH_B\nsite:10  channel:CH_J\n");
  // The caller's record is left as it was.
  EXPECT_EQ(sig.name, "VDD");
  EXPECT_EQ(sig.type, "power");
  EXPECT_EQ(sig.no, "7");
  EXPECT_EQ(sig.siteMaps, (std::map<int, std::string>{{1, "CH_A"}, {2, "CH_B"}, {10, "CH_J"}}));

  SigDefine empty("IO1", "digital", "", {});
  EXPECT_EQ(stdoutOf([&] { supply.signal(empty); }),
            "SigDefine Type:digital\nSigDefine Name:IO1\nSigDefine No:\nSigDefine Map Size:0\n");
}

TEST(DPS, SetModeAndChainingReturnTheSameObject) {
  DPS supply;
  EXPECT_EQ(stdoutOf([&] { supply.setMode("FVMI"); }), "mode:FVMI\n");

  SigDefine sig("VCC", "power", "1", {{3, "P3"}});
  DPS* returned = nullptr;
  EXPECT_EQ(stdoutOf([&] { returned = &supply.signal(sig).setMode("FIMV"); }),
            "SigDefine Type:power\nSigDefine Name:VCC\nSigDefine No:1\nSigDefine Map Size:1\n"
            "site:3  channel:P3\nmode:FIMV\n");
  EXPECT_EQ(returned, &supply);
}

TEST(DPS, DpsRefersToTheExportedInstance) {
  EXPECT_EQ(&dps, &dpsInstance);
  EXPECT_EQ(stdoutOf([] { dps.setMode("FV"); }), "mode:FV\n");
}

TEST(ProjectOperate, InstanceIsCreatedAndReportedOnce) {
  ProjectOperate* first = nullptr;
  ProjectOperate* second = nullptr;
  EXPECT_EQ(stdoutOf([&] { first = ProjectOperate::instance(); }), "ProjectOperate instance\n");
  EXPECT_EQ(stdoutOf([&] { second = ProjectOperate::instance(); }), "");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first, second);
}

TEST(Functions, SumAddsAndWrapsAround) {
  EXPECT_EQ(sum(2, 3), 5);
  EXPECT_EQ(sum(-4, 1), -3);
  EXPECT_EQ(sum(INT_MAX, 1), INT_MIN);
  EXPECT_EQ(sum(INT_MIN, -1), INT_MAX);
}

TEST(Functions, PrintfTestWritesConversionsAsTheyStand) {
  EXPECT_EQ(stdoutOf([] { printf_test("100%%"); }), "100%");
  EXPECT_EQ(stdoutOf([] { printf_test("%s %d %n"); }), "%s %d %n");
  EXPECT_EQ(stdoutOf([] { printf_test("%5.2f%%%ls %*d"); }), "%5.2f%%ls %*d");
  EXPECT_EQ(stdoutOf([] { printf_test("50%"); }), "50%");
  EXPECT_EQ(stdoutOf([] { printf_test("%%%"); }), "%%");
  EXPECT_EQ(stdoutOf([] { printf_test("plain\ntext"); }), "plain\ntext");
  EXPECT_EQ(stdoutOf([] { printf_test(nullptr); }), "");
}

TEST(Testa, PrintsAndDestroysThroughTheBase) {
  testa plain;
  EXPECT_EQ(stdoutOf([&] { plain.printaaa(); }), "aaab\n");

  struct Derived : testa {
    explicit Derived(bool& destroyed) : destroyed(destroyed) {}
    ~Derived() override { destroyed = true; }
    bool& destroyed;
  };
  bool destroyed = false;
  std::unique_ptr<testa> owner = std::make_unique<Derived>(destroyed);
  owner.reset();
  EXPECT_TRUE(destroyed);
}

#if !defined(_WIN32)
TEST(Exports, PlainAndDecoratedNamesAreFoundByTheLoader) {
  void* library = dlopen(CHANMAP_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"dps", "dpsInstance", "sum", "printf_test", "_ZN3DPS6signalER9SigDefine",
                           "_ZN14ProjectOperate8instanceEv", "_ZN5testa8printaaaEv"}) {
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  }
  // The exported reference holds the address of the instance the program sees.
  auto* reference = static_cast<DPS**>(dlsym(library, "dps"));
  ASSERT_NE(reference, nullptr);
  EXPECT_EQ(*reference, &dpsInstance);
  using SumFunction = int (*)(int, int);
  auto* add = reinterpret_cast<SumFunction>(dlsym(library, "sum"));
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(40, 2), 42);
  dlclose(library);
}
#endif
