// Capture health of the serving session over fake captures and a hand-driven
// clock: the stall watchdog and its back-off, the static-screen probe, restarts,
// recovery ticks, the first-frame kick and what a stop leaves behind.
#include <gtest/gtest.h>

#include <future>

#include <algorithm>

#include "SessionTestRig.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

using test::Rig;
using test::WireTestClient;

// The clock and timers the session's capture health runs on: a manual
// executor whose time moves only when a test advances it, in steps, each due
// tick let through the session's queue before time moves on. It also keeps
// the work of every timer still armed, so a test can fire a tick late.
class HandClock final : public Executor {
 public:
  explicit HandClock(uint64_t startNs) : manual_(startNs) {}

  void post(Task task) override { manual_.post(std::move(task)); }
  void postAfter(uint64_t delayNs, Task task) override { manual_.postAfter(delayNs, std::move(task)); }
  Timer startTimer(uint64_t delayNs, uint64_t intervalNs, Task task) override {
    auto armed = std::make_shared<Task>(task);
    {
      std::lock_guard lock(mutex_);
      armed_.push_back(armed);
    }
    auto inner = std::make_shared<Timer>(manual_.startTimer(delayNs, intervalNs, std::move(task)));
    return Timer([inner, armed] { inner->cancel(); });  // `armed` goes with the timer
  }
  uint64_t nowNs() const override { return manual_.nowNs(); }
  bool isCurrent() const override { return manual_.isCurrent(); }
  uint64_t now() const { return nowNs(); }

  // The work of every timer still armed, to be called after it was released.
  std::vector<std::function<void()>> armedFires() {
    std::lock_guard lock(mutex_);
    std::vector<std::function<void()>> fires;
    for (auto& weak : armed_) {
      if (auto task = weak.lock()) fires.push_back(*task);
    }
    return fires;
  }

  // Moves time in steps of 100 ms (every health delay is a multiple of it),
  // letting the session's queue run what each step fired.
  void advance(uint64_t ns, M2Pipeline& pipeline) {
    constexpr uint64_t kStepNs = 100 * kNsPerMs;
    while (ns > 0) {
      const uint64_t step = std::min(ns, kStepNs);
      manual_.advance(step);
      pipeline.reconfigState();  // the ticks have run on the session's queue
      ns -= step;
    }
  }

 private:
  test::ManualExecutor manual_;
  std::mutex mutex_;
  std::vector<std::weak_ptr<Task>> armed_;
};

constexpr uint64_t kStartNs = 1000 * kNsPerSecond;

struct HealthRig {
  std::shared_ptr<HandClock> clock = std::make_shared<HandClock>(kStartNs);
  Rig rig;

  explicit HealthRig(uint64_t captureStartWaitNs = 8 * kNsPerSecond)
      : rig({640, 480, 30}, true, false, [this, captureStartWaitNs](M2Pipeline::Config& c) {
          c.healthTimers = clock;
          c.captureStartWaitNs = captureStartWaitNs;
        }) {
    auto hand = clock;
    rig.bank->now = [hand] { return hand->now(); };
    rig.bank->lastDeliveryNs = kStartNs;
  }
  void advanceSeconds(double s) { clock->advance(static_cast<uint64_t>(s * kNsPerSecond), *rig.pipeline); }
  std::vector<uint64_t> probeSeconds() {
    std::vector<uint64_t> out;
    for (uint64_t t : rig.bank->probes()) out.push_back((t - kStartNs) / kNsPerSecond);
    return out;
  }
  void setHash(std::optional<uint64_t> hash, bool changing = false) {
    std::lock_guard lock(rig.bank->mutex);
    rig.bank->contentHash = hash;
    rig.bank->hashChangesEachProbe = changing;
  }
};

constexpr uint64_t kStartWaitNs = 500 * kNsPerMs;

// ---- the stall watchdog ---------------------------------------------------------

TEST(SessionCaptureHealthIntegration, AStillScreenIsProbedWithGrowingBackOffAndNeverRestarted) {
  HealthRig h;
  h.setHash(42);
  {
    std::lock_guard lock(h.rig.bank->mutex);
    h.rig.bank->oneShotWorks = false;
  }
  ASSERT_TRUE(h.rig.start());
  auto client = h.rig.connect();
  h.advanceSeconds(190);
  // A baseline at 4 s quiet, the same hash 2 s later, then 8, 16, 32, 60, 60 s apart.
  EXPECT_EQ(h.probeSeconds(), (std::vector<uint64_t>{4, 6, 14, 30, 62, 122, 182}));
  EXPECT_EQ(h.rig.log.count("[m2] capture quiet 6s but screen is static — not a stall"), 1);
  EXPECT_EQ(h.rig.log.count("but screen is static"), 1);
  EXPECT_EQ(h.rig.bank->made().size(), 1u);
  EXPECT_FALSE(h.rig.log.contains("SILENT-STALL"));

  // A frame ends the episode: the back-off is 4 s again and the line comes once more.
  h.rig.bank->deliveries = 1;
  h.rig.bank->lastDeliveryNs = h.clock->now();
  h.advanceSeconds(8);
  EXPECT_EQ(h.rig.log.count("but screen is static"), 2);
}

TEST(SessionCaptureHealthIntegration, AQuietStreamWithoutClientsIsNeitherProbedNorRestarted) {
  HealthRig h;
  h.setHash(std::nullopt);
  ASSERT_TRUE(h.rig.start());
  h.advanceSeconds(120);
  EXPECT_TRUE(h.rig.bank->probes().empty());
  EXPECT_EQ(h.rig.bank->made().size(), 1u);
}

TEST(SessionCaptureHealthIntegration, AStuckOrSilentStreamIsRebuilt) {
  HealthRig h;
  h.setHash(7, true);  // the content moves but no frame arrives
  ASSERT_TRUE(h.rig.start());
  auto client = h.rig.connect();
  h.advanceSeconds(6);
  EXPECT_EQ(h.probeSeconds(), (std::vector<uint64_t>{4, 6}));
  EXPECT_TRUE(h.rig.log.contains(
      "[m2] capture SILENT-STALL: no frame from the capture for 6s with 1 client(s) — rebuilding capture stream"));
  EXPECT_TRUE(h.rig.log.contains("[m2] capture auto-restarted"));
  EXPECT_EQ(h.rig.bank->made().size(), 2u);
  EXPECT_EQ(h.rig.bank->stopped(), 1);

  // A probe without an answer counts as a stall too, and waits for the back-off.
  h.setHash(std::nullopt);
  h.advanceSeconds(6);
  EXPECT_EQ(h.rig.bank->made().size(), 2u);
  h.advanceSeconds(2);
  EXPECT_TRUE(h.rig.log.contains("no frame from the capture for 14s"));
  EXPECT_EQ(h.rig.bank->made().size(), 3u);
}

// ---- restarts and recovery ----------------------------------------------------------

TEST(SessionCaptureHealthIntegration, ACaptureThatStopsUnexpectedlyIsRestarted) {
  HealthRig h;
  ASSERT_TRUE(h.rig.start());
  auto first = h.rig.bank->made().front();
  first->onStop(std::make_exception_ptr(std::runtime_error("display gone")));
  ASSERT_TRUE(h.rig.log.waitFor("[m2] capture auto-restarted"));
  EXPECT_TRUE(h.rig.log.contains("[m2] capture stopped unexpectedly: display gone — auto-restarting"));
  EXPECT_EQ(h.rig.bank->made().size(), 2u);

  // A stop reported by a capture that was already replaced restarts nothing.
  first->onStop(nullptr);
  h.rig.pipeline->reconfigState();
  EXPECT_EQ(h.rig.bank->made().size(), 2u);
  // The restart ending at once again is started again only after a pause.
  h.rig.bank->made().back()->onStop(nullptr);
  ASSERT_TRUE(h.rig.log.waitFor("[m2] capture stopped unexpectedly — auto-restarting"));
  h.rig.pipeline->reconfigState();
  EXPECT_EQ(h.rig.bank->made().size(), 2u);
  h.advanceSeconds(1);
  h.rig.pipeline->reconfigState();
  EXPECT_EQ(h.rig.bank->made().size(), 3u);
}

TEST(SessionCaptureHealthIntegration, RecoveryRetriesLogsOnTheFirstAndTenthAttemptAndLateStartsAreStopped) {
  // Starts that hang time out after a real half second: long enough that a
  // start which does not hang finishes within it on a loaded machine.
  HealthRig h(kStartWaitNs);
  ASSERT_TRUE(h.rig.start());
  auto client = h.rig.connect();
  h.rig.bank->hangStarts = true;
  h.rig.bank->made().front()->onStop(nullptr);
  ASSERT_TRUE(test::eventually([&] { return h.rig.pipeline->reconfigState().captureRecoveryRequests == 1; }));

  h.advanceSeconds(1);
  EXPECT_TRUE(h.rig.log.contains(
      "[m2] capture not ready (attempt 1) — waiting for the capture; retrying every ≤2 s"));
  // Attempts 2..9 come 2, 4, 8, then 10 s apart and are silent.
  h.advanceSeconds(2 + 4 + 8 + 10 * 5);
  EXPECT_EQ(h.rig.log.count("[m2] capture not ready"), 1);
  h.advanceSeconds(10);
  EXPECT_EQ(h.rig.log.count("[m2] capture not ready"), 2);
  EXPECT_TRUE(h.rig.log.contains("[m2] capture not ready (attempt 10) — waiting for the capture; "
                                 "retrying every ≤10 s"));

  h.rig.bank->hangStarts = false;
  h.advanceSeconds(10);
  EXPECT_TRUE(h.rig.log.contains("[m2] capture recovered after 11 attempt(s)"));
  EXPECT_TRUE(client.readUntil(test::Code::hello).has_value());  // told again what it receives

  // The starts that gave up come through late and are stopped at once.
  const int stoppedBefore = h.rig.bank->stopped();
  h.rig.bank->releaseHungStarts.signal();
  ASSERT_TRUE(test::eventually([&] {
    return h.rig.log.count("[m2] capture started after its wait gave up — stopped it again") == 11;
  }));
  EXPECT_EQ(h.rig.bank->stopped(), stoppedBefore + 11);
}

TEST(SessionCaptureHealthIntegration, AStopDuringRecoveryStartsNothingAfterwards) {
  HealthRig h(kStartWaitNs);
  ASSERT_TRUE(h.rig.start());
  h.rig.bank->hangStarts = true;
  h.rig.bank->made().front()->onStop(nullptr);
  ASSERT_TRUE(test::eventually([&] { return h.rig.pipeline->reconfigState().captureRecoveryRequests == 1; }));
  h.advanceSeconds(1);
  const auto fires = h.clock->armedFires();
  ASSERT_FALSE(fires.empty());
  h.rig.bank->releaseHungStarts.signal();
  h.rig.pipeline->stopServing();
  EXPECT_TRUE(h.clock->armedFires().empty());  // every timer was released by the stop
  const size_t made = h.rig.bank->made().size();
  for (auto& fire : fires) fire();  // ticks that fired just before the stop
  h.advanceSeconds(120);
  EXPECT_EQ(h.rig.bank->made().size(), made);
  EXPECT_EQ(h.rig.log.count("[m2] capture not ready"), 1);
}

// ---- the first frame -----------------------------------------------------------------

TEST(SessionCaptureHealthIntegration, AStartOnAStillScreenSeedsOneFrame) {
  HealthRig h;
  h.setHash(42);  // a still screen: the watchdog leaves it alone
  ASSERT_TRUE(h.rig.start());
  auto client = h.rig.connect();
  h.advanceSeconds(0.3);
  EXPECT_EQ(h.rig.log.count("[m2] still screen after (re)start — seeded one frame so the client can decode"), 1);
  EXPECT_TRUE(client.readUntil(test::Code::frame).has_value());
  h.advanceSeconds(5);
  EXPECT_EQ(h.rig.log.count("seeded one frame"), 1);
  EXPECT_EQ(h.rig.bank->oneShotCount(), 1);
}

TEST(SessionCaptureHealthIntegration, AFirstFrameGrabStuckInTheDisplayServerDoesNotHoldAStop) {
  HealthRig h;
  h.rig.bank->hangOneShots = true;
  ASSERT_TRUE(h.rig.start());
  auto kick = std::async(std::launch::async, [&] { h.advanceSeconds(0.3); });
  ASSERT_TRUE(h.rig.bank->oneShotEntered.waitFor(test::kDeadlineNs));
  auto stopping = std::async(std::launch::async, [&] { h.rig.pipeline->stopServing(); });
  // The stop gets past the session's queue and stops the capture while the
  // grab is still stuck.
  EXPECT_TRUE(test::eventually([&] { return h.rig.bank->stopped() == 1; }));
  h.rig.bank->releaseOneShots.signal();
  stopping.get();
  kick.get();
  EXPECT_FALSE(h.rig.log.contains("seeded one frame"));
}

TEST(SessionCaptureHealthIntegration, NoSeedWhenAFrameArrivedAndALineWhenTheGrabFails) {
  HealthRig h;
  ASSERT_TRUE(h.rig.start());
  h.rig.bank->deliveries = 1;
  h.advanceSeconds(0.3);
  EXPECT_EQ(h.rig.bank->oneShotCount(), 0);

  {
    std::lock_guard lock(h.rig.bank->mutex);
    h.rig.bank->oneShotWorks = false;
  }
  h.rig.bank->made().back()->onStop(nullptr);
  ASSERT_TRUE(h.rig.log.waitFor("[m2] capture auto-restarted"));
  h.advanceSeconds(0.3);
  EXPECT_TRUE(h.rig.log.contains(
      "[m2] still screen after (re)start and the one-shot grab failed — waiting for the next content change"));
  EXPECT_FALSE(h.rig.log.contains("seeded one frame"));

  // A screen cast with no frame yet has failed at nothing: it sends the first one by itself.
  h.rig.bank->screenCast = true;
  h.rig.bank->made().back()->onStop(nullptr);
  // It ended young, so it is made again after a pause.
  ASSERT_TRUE(h.rig.log.waitFor("after its restart — next start in 1 s"));
  h.advanceSeconds(1.1);
  ASSERT_TRUE(h.rig.log.waitFor("[m2] capture recovered"));
  h.advanceSeconds(0.3);
  EXPECT_EQ(h.rig.log.count("one-shot grab failed"), 1);
}

}  // namespace
}  // namespace lumenrail
