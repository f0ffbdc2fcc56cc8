#include "platform/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/NamedThread.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::EventCounter;

TEST(SerialQueue, RunsTasksInSubmissionOrderOnItsNamedThread) {
  SerialQueue queue("quillmark.lumenrail.test.order");
  std::vector<int> seen;
  std::string threadName;
  EventCounter done;
  for (int i = 0; i < 200; ++i) {
    queue.async([&, i] {
      seen.push_back(i);  // serial: no lock needed
      if (i == 0) threadName = NamedThread::currentName();
      done.add();
    });
  }
  ASSERT_TRUE(done.waitFor(200));
  queue.sync([] {});
  ASSERT_EQ(seen.size(), 200u);
  for (int i = 0; i < 200; ++i) EXPECT_EQ(seen[i], i);
  EXPECT_EQ(threadName, "quillmark.lumenrail.test.order");
}

TEST(SerialQueue, SyncReturnsValuesRethrowsAndRunsInlineOnItsOwnThread) {
  SerialQueue queue("lumenrail-test-sync");
  EXPECT_EQ(queue.sync([] { return 42; }), 42);
  EXPECT_FALSE(queue.isCurrent());
  EXPECT_TRUE(queue.sync([&] { return queue.isCurrent(); }));
  // A nested sync would deadlock on a plain queue; here it runs inline.
  EXPECT_EQ(queue.sync([&] { return queue.sync([] { return 7; }); }), 7);
  EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
  // A throwing task does not stop the queue.
  queue.async([] { throw std::runtime_error("ignored"); });
  EXPECT_EQ(queue.sync([] { return 1; }), 1);
}

TEST(SerialQueue, DelayedTasksRunInDeadlineOrderAndNeverEarly) {
  SerialQueue queue("lumenrail-test-after");
  std::mutex m;
  std::vector<int> order;
  std::vector<uint64_t> ranAt;
  EventCounter done;
  const uint64_t start = uptimeNs();
  auto record = [&](int id) {
    std::lock_guard lock(m);
    order.push_back(id);
    ranAt.push_back(uptimeNs());
    done.add();
  };
  // Held while the work is posted, so nothing falls due before the last
  // post; the deadlines lie far enough apart that a pause between two posts
  // of a loaded machine does not swap them.
  OneShotEvent release;
  queue.async([&] { release.waitFor(test::kDeadlineNs); });
  queue.asyncAfter(300 * kNsPerMs, [&] { record(3); });
  queue.asyncAfter(100 * kNsPerMs, [&] { record(1); });
  queue.asyncAfter(200 * kNsPerMs, [&] { record(2); });
  queue.async([&] { record(0); });
  release.signal();
  ASSERT_TRUE(done.waitFor(4));
  std::lock_guard lock(m);
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_GE(ranAt[1] - start, 100 * kNsPerMs);
  EXPECT_GE(ranAt[3] - start, 300 * kNsPerMs);
}

TEST(SerialQueue, RepeatingTimerTicksUntilCancelledFromItsOwnTick) {
  SerialQueue queue("lumenrail-test-timer");
  std::atomic<int> ticks{0};
  EventCounter reachedFive;
  SerialQueue::Timer timer;
  // Armed from the queue itself so that no tick can see `timer` half-assigned.
  queue.sync([&] {
    timer = queue.scheduleRepeating(kNsPerMs, 0, [&] {
      if (++ticks == 5) {
        timer.cancel();  // on the queue: no later tick may run
        reachedFive.add();
      }
    });
  });
  ASSERT_TRUE(reachedFive.waitFor(1));
  // Give any wrongly surviving tick a chance: two more full rounds through the queue.
  queue.asyncAfter(5 * kNsPerMs, [] {});
  queue.sync([] {});
  OneShotEvent later;
  queue.asyncAfter(5 * kNsPerMs, [&] { later.signal(); });
  ASSERT_TRUE(later.waitFor(test::kDeadlineNs));
  EXPECT_EQ(ticks.load(), 5);
  EXPECT_FALSE(timer.active());
}

TEST(SerialQueue, DestructionRunsQueuedWorkDropsDelayedWorkAndJoins) {
  std::atomic<int> ran{0};
  std::atomic<bool> delayedRan{false};
  {
    SerialQueue queue("lumenrail-test-teardown");
    OneShotEvent release;
    queue.async([&] { release.wait(); });
    for (int i = 0; i < 10; ++i) queue.async([&] { ++ran; });
    queue.asyncAfter(60 * kNsPerSecond, [&] { delayedRan = true; });
    auto timer = queue.scheduleRepeating(kNsPerSecond, kNsPerSecond * 60, [&] { delayedRan = true; });
    release.signal();
  }
  EXPECT_EQ(ran.load(), 10);
  EXPECT_FALSE(delayedRan.load());
}

TEST(SerialQueue, CanBeDestroyedFromOneOfItsOwnTasks) {
  auto queue = std::make_unique<SerialQueue>("lumenrail-test-selfdestroy");
  SerialQueue* raw = queue.get();
  OneShotEvent destroyed;
  raw->async([&] {
    queue.reset();  // destructor on the queue's own thread
    destroyed.signal();
  });
  ASSERT_TRUE(destroyed.waitFor(test::kDeadlineNs));
  EXPECT_EQ(queue, nullptr);
}

TEST(SerialQueue, TimerHandleMayOutliveItsQueue) {
  SerialQueue::Timer timer;
  {
    SerialQueue queue("lumenrail-test-outlive");
    timer = queue.scheduleRepeating(kNsPerSecond, kNsPerSecond, [] {});
    EXPECT_TRUE(timer.active());
  }
  EXPECT_FALSE(timer.active());
  timer.cancel();
}

TEST(OneShotEvent, IsStickyAndWakesEveryWaiter) {
  OneShotEvent event;
  EXPECT_FALSE(event.waitFor(1'000'000));
  EventCounter woke;
  std::vector<NamedThread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back("lumenrail-test-waiter", [&] {
      event.wait();
      woke.add();
    });
  }
  event.signal();
  ASSERT_TRUE(woke.waitFor(4));
  EXPECT_TRUE(event.isSignaled());
  EXPECT_TRUE(event.waitFor(0));
  for (auto& t : waiters) EXPECT_TRUE(t.joinFor(test::kDeadlineNs));
}

TEST(NamedThread, KeepsFullNameAndShortensTheOsName) {
  EXPECT_EQ(NamedThread::osName("lumenrail-wire-accept"), "wire-accept");
  EXPECT_EQ(NamedThread::osName("lumenrail-foreground-watch"), "foreground-watc");
  EXPECT_EQ(NamedThread::osName("quillmark.lumenrail.m2.reconfig"), "m2.reconfig");
  EXPECT_EQ(NamedThread::osName("short"), "short");
  EXPECT_EQ(NamedThread::osName("lumenrail-"), "lumenrail-");
  // Never splits a multi-byte character: 14 ASCII bytes then a 2-byte letter.
  EXPECT_EQ(NamedThread::osName("abcdefghijklmn\xC3\xA9z"), "abcdefghijklmn");

  std::string full;
  char os[32] = {};
  NamedThread t("lumenrail-foreground-watch", [&] {
    full = NamedThread::currentName();
    pthread_getname_np(pthread_self(), os, sizeof os);
  });
  ASSERT_TRUE(t.joinFor(test::kDeadlineNs));
  EXPECT_EQ(full, "lumenrail-foreground-watch");
  EXPECT_STREQ(os, "foreground-watc");
}

TEST(NamedThread, JoinForIsBoundedAndAThrowingBodyEndsCleanly) {
  OneShotEvent release;
  NamedThread blocked("lumenrail-test-blocked", [&] { release.wait(); });
  EXPECT_FALSE(blocked.joinFor(2'000'000));
  EXPECT_TRUE(blocked.joinable());
  release.signal();
  EXPECT_TRUE(blocked.joinFor(test::kDeadlineNs));
  EXPECT_FALSE(blocked.joinable());

  NamedThread thrower("lumenrail-test-thrower", [] { throw std::runtime_error("expected in test"); });
  EXPECT_TRUE(thrower.joinFor(test::kDeadlineNs));
}

TEST(SerialQueue, AsAnExecutorAOneShotTimerFiresOnceAndACancelledOneNever) {
  SerialQueue queue("lumenrail-test-executor");
  Executor& executor = queue;
  std::atomic<int> once{0};
  std::atomic<int> cancelled{0};
  OneShotEvent fired;
  auto first = executor.startTimer(kNsPerMs, 0, [&] {
    ++once;
    fired.signal();
  });
  // Held while the second timer is armed and cancelled: however slow the
  // machine, the cancel comes before its tick can run, even once it is due.
  OneShotEvent release;
  executor.post([&] { release.waitFor(test::kDeadlineNs); });
  auto second = executor.startTimer(5 * kNsPerMs, 0, [&] { ++cancelled; });
  second.cancel();
  release.signal();
  ASSERT_TRUE(fired.waitFor(test::kDeadlineNs));
  OneShotEvent later;
  executor.postAfter(10 * kNsPerMs, [&] { later.signal(); });
  ASSERT_TRUE(later.waitFor(test::kDeadlineNs));
  EXPECT_EQ(once.load(), 1);
  EXPECT_EQ(cancelled.load(), 0);
  EXPECT_FALSE(second.armed());
  EXPECT_TRUE(queue.sync([&] { return executor.isCurrent(); }));
  EXPECT_FALSE(executor.isCurrent());
}

}  // namespace
}  // namespace lumenrail
