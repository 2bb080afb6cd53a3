// The execution thread's lookups: a name is looked up again whenever the handle holds another
// library, nothing is found without one, and a held library is released only when let go.
#include "src/ProjectLibrary.h"

#include <gtest/gtest.h>

#include "tests/support/Fixtures.h"

using namespace std::string_literals;

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using Hook = bool (*)();

std::shared_ptr<ProjectLibrary> loadFixture(const std::string& name) {
  platform::LoadFailure failure;
  platform::LibraryHandle handle = platform::loadLibrary(fixturePath(name), failure);
  EXPECT_NE(handle, nullptr) << failure.message;
  return std::make_shared<ProjectLibrary>(handle);
}

TEST(LibraryLookups, FindWhatTheHandleHoldsAtEachCall) {
  AtomicLibraryHandle handle;
  LibraryLookups lookups(handle, 3);
  EXPECT_EQ(lookups.find<Hook>(0, "test_end"), nullptr) << "no library, nothing found";

  std::shared_ptr<ProjectLibrary> full = loadFixture("fixture_full");
  handle.exchange(full);
  const Hook end = lookups.find<Hook>(0, "test_end");
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(reinterpret_cast<void*>(end), full->find("test_end"));
  EXPECT_EQ(lookups.find<Hook>(0, "test_end"), end);
  EXPECT_EQ(lookups.find<Hook>(1, "no_such_function"), nullptr);
  // A name with a NUL byte is never looked up: as a C string it would be "test_end".
  EXPECT_EQ(lookups.find<Hook>(2, "test_end\0x"s), nullptr);

  // The same slots in another library: what the first one had must not be used.
  std::shared_ptr<ProjectLibrary> noEnd = loadFixture("fixture_noend");
  handle.exchange(noEnd);
  EXPECT_EQ(lookups.find<Hook>(0, "test_end"), nullptr) << "fixture_noend has no test_end";
  handle.exchange(full);
  EXPECT_EQ(lookups.find<Hook>(0, "test_end"), end);

  handle.exchange(nullptr);
  EXPECT_EQ(lookups.find<Hook>(0, "test_end"), nullptr) << "nothing is found after unload";

  // The lookups hold neither library any more: both go as soon as this test lets them go.
  full->releaseWhenUnused();
  noEnd->releaseWhenUnused();
  CaptureStdout();
  full.reset();
  noEnd.reset();
  EXPECT_EQ(GetCapturedStdout(), "[fixture_full] unloaded\n[fixture_noend] unloaded\n");
}

TEST(LibraryLookups, HoldTheLibraryUntilTheNextLookupOrRelease) {
  for (const bool byRelease : {false, true}) {
    AtomicLibraryHandle handle;
    handle.exchange(loadFixture("fixture_full"));
    LibraryLookups lookups(handle, 1);
    ASSERT_NE(lookups.find<Hook>(0, "test_end"), nullptr);

    // Unload as the command does it: the handle lets go, the library is to be released.
    CaptureStdout();
    handle.exchange(nullptr)->releaseWhenUnused();
    EXPECT_EQ(GetCapturedStdout(), "") << "the lookups still hold the library";

    CaptureStdout();
    if (byRelease) {
      lookups.release();
    } else {
      EXPECT_EQ(lookups.find<Hook>(0, "test_end"), nullptr);
    }
    EXPECT_EQ(GetCapturedStdout(), "[fixture_full] unloaded\n");
  }
}

}  // namespace
