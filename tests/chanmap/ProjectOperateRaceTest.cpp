// Runs as its own program, so the first call of ProjectOperate::instance() happens here.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "chanmap/chanmap.h"

TEST(ProjectOperate, ConcurrentFirstCallsCreateOneInstance) {
  constexpr int threadCount = 8;
  std::vector<ProjectOperate*> seen(threadCount, nullptr);
  std::atomic<int> ready{0};
  std::atomic<bool> go{false};

  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int i = 0; i < threadCount; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (!go.load()) std::this_thread::yield();
      seen[i] = ProjectOperate::instance();
    });
  }
  while (ready.load() < threadCount) std::this_thread::yield();
  go.store(true);
  for (auto& thread : threads) thread.join();
  const std::string output = testing::internal::GetCapturedStdout();

  EXPECT_EQ(output, "ProjectOperate instance\n");
  ASSERT_NE(seen[0], nullptr);
  for (ProjectOperate* pointer : seen) EXPECT_EQ(pointer, seen[0]);
  EXPECT_EQ(ProjectOperate::instance(), seen[0]);
}
