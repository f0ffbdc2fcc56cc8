#include <gtest/gtest.h>

#include <string>

#include "platform/Executor.hpp"
#include "platform/SerialQueue.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

TEST(ExecutorAffinity, HoldsOnTheRightThreadAndTellsTheWrongOneOncePerPlace) {
  SerialQueue queue("lumenrail-affinity-test");
  EXPECT_TRUE(queue.sync([&] { return expectOn(queue, "Affinity.on"); }));
  EXPECT_TRUE(expectOff(queue, "Affinity.off"));
  // The wrong thread: a debug build stops, a release build says so once and goes on.
#ifndef NDEBUG
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(expectOn(queue, "Affinity.wrong"), "wrong thread");
#else
  testing::internal::CaptureStderr();
  const bool first = expectOn(queue, "Affinity.wrong");
  const bool again = expectOn(queue, "Affinity.wrong");
  const bool waits = queue.sync([&] { return expectOff(queue, "Affinity.waits"); });
  const std::string told = testing::internal::GetCapturedStderr();
  EXPECT_FALSE(first || again || waits);
  EXPECT_EQ(told,
            "[fault] Affinity.wrong called off its executor's thread\n"
            "[fault] Affinity.waits called on the executor it waits for\n");
#endif
}

// The tests' executor runs a waited-for task as its own work, as the real ones do.
TEST(ExecutorAffinity, TheManualExecutorIsCurrentInsideAWaitedForTask) {
  test::ManualExecutor main;
  bool inside = false;
  bool afterNested = false;
  main.postAndWait([&] {
    main.postAndWait([] {});
    afterNested = main.isCurrent();
    main.post([&] { inside = main.isCurrent(); });
    main.runReady();
  });
  EXPECT_TRUE(inside);
  EXPECT_TRUE(afterNested);
  EXPECT_FALSE(main.isCurrent());
}

}  // namespace
}  // namespace lumenrail
