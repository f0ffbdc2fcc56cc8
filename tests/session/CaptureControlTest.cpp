// The capture's start, retries, health and restarts over fake captures and a
// hand-driven executor: all of its work runs on the test's thread.
#include <gtest/gtest.h>

#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "session/CaptureControl.hpp"
#include "support/EventLog.hpp"
#include "support/FakeDesktopEnvironment.hpp"
#include "support/ManualExecutor.hpp"
#include "support/Waiting.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

constexpr ClientModePolicy::Mode kMode{640, 480, 30};

struct CaptureRig {
  test::EventLog log;
  std::shared_ptr<test::FakeDesktopEnvironment> desktop = std::make_shared<test::FakeDesktopEnvironment>();
  std::shared_ptr<test::Bank> bank = desktop->bank;
  std::shared_ptr<test::ManualExecutor> queue = std::make_shared<test::ManualExecutor>();
  std::shared_ptr<BoundedWaits> waits;
  int64_t clients = 1;
  int recovered = 0;
  std::vector<std::pair<uint64_t, bool>> outages;  // (time, down)
  int preparesRefused = 0;  // display preparations that throw, as a display server off the bus does
  std::shared_ptr<CaptureControl> capture;

  explicit CaptureRig(int64_t faults = 0, uint64_t startWaitNs = 8 * kNsPerSecond,
                      std::shared_ptr<DesktopEnvironment> realDesktop = nullptr) {
    waits = std::make_shared<BoundedWaits>([this](const std::string& line) { log.add(line); });
    CaptureControl::Config c;
    c.desktop = realDesktop ? realDesktop : std::shared_ptr<DesktopEnvironment>(desktop);
    c.clientCount = [this] { return clients; };
    c.pump = CaptureServePump::make(30, 10, false, [q = queue] { return q->nowNs(); }, [] { return false; },
                                    [](const PixelBufferRef&, uint64_t, uint64_t, bool) {});
    c.waits = waits;
    c.timers = queue;
    c.post = [q = queue](std::function<void()> work) { q->post(std::move(work)); };
    c.log = [this](const std::string& line) { log.add(line); };
    c.faultCaptureTimeouts = faults;
    c.startWaitNs = startWaitNs;
    c.mode = [] { return kMode; };
    c.onRecovered = [this] { ++recovered; };
    c.onOutage = [this](bool down) { outages.emplace_back(queue->nowNs(), down); };
    c.prepareDisplay = [this]() -> uint32_t {
      if (preparesRefused == 0) return 0;
      --preparesRefused;
      throw std::runtime_error("Name \"org.gnome.Mutter.DisplayConfig\" does not exist");
    };
    capture = CaptureControl::create(std::move(c));
    bank->now = [q = queue] { return q->nowNs(); };
    bank->lastDeliveryNs = queue->nowNs();
  }
  ~CaptureRig() {
    bank->releaseHungStarts.signal();
    waits->stop();
    capture->cancelTimers();
    capture->stop();
    waits->joinAll(5 * kNsPerSecond);
  }
  void setHash(std::optional<uint64_t> hash, bool changing) {
    std::lock_guard lock(bank->mutex);
    bank->contentHash = hash;
    bank->hashChangesEachProbe = changing;
  }
};

TEST(CaptureControl, AFailedStartIsRetriedUpToThreeAttemptsAndATimeOutIsNot) {
  CaptureRig rig(0, 50 * kNsPerMs);
  rig.bank->failingCaptureStarts = 5;
  EXPECT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::failed);
  EXPECT_EQ(rig.bank->made().size(), 3u);
  EXPECT_EQ(rig.capture->lastError(), "fake capture refused");
  EXPECT_FALSE(rig.capture->running());

  rig.bank->hangStarts = true;
  EXPECT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::timedOut);
  EXPECT_EQ(rig.bank->made().size(), 4u);
}

TEST(CaptureControl, FaultInjectionSparesTheFirstStartAndTimesOutTheNextOnes) {
  CaptureRig rig(2);
  ASSERT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::started);
  rig.capture->stop();
  EXPECT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::timedOut);
  EXPECT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::timedOut);
  EXPECT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::started);
  EXPECT_TRUE(rig.log.contains("[m2] FAULT: simulated capture-start timeout (1 left)"));
  EXPECT_TRUE(rig.log.contains("[m2] FAULT: simulated capture-start timeout (0 left)"));
  EXPECT_EQ(rig.bank->made().size(), 2u);
}

TEST(CaptureControl, AStalledStreamIsRebuiltAndAStillOneIsNot) {
  CaptureRig still;
  still.setHash(42, false);
  const uint64_t t0 = still.queue->nowNs();
  ASSERT_EQ(still.capture->start(kMode, 3), CaptureControl::Start::started);
  still.capture->startWatchdog();
  still.queue->advance(190 * kNsPerSecond);
  EXPECT_EQ(still.bank->made().size(), 1u);
  EXPECT_EQ(still.log.count("[m2] capture quiet 6s but screen is static — not a stall"), 1);
  // A baseline at 4 s quiet, the same hash 2 s later, then 8, 16, 32, 60, 60 s apart.
  std::vector<uint64_t> probes;
  for (uint64_t t : still.bank->probes()) probes.push_back((t - t0) / kNsPerSecond);
  EXPECT_EQ(probes, (std::vector<uint64_t>{4, 6, 14, 30, 62, 122, 182}));
  EXPECT_EQ(still.capture->health().stallBackoffNs, 60 * kNsPerSecond);
  // A frame ends the episode and the back-off.
  still.bank->deliveries = 1;
  still.queue->advance(2 * kNsPerSecond);
  EXPECT_EQ(still.capture->health().stallBackoffNs, 4 * kNsPerSecond);

  CaptureRig stalled;
  stalled.setHash(7, true);  // the content moves but no frame arrives
  ASSERT_EQ(stalled.capture->start(kMode, 3), CaptureControl::Start::started);
  stalled.capture->startWatchdog();
  stalled.queue->advance(6 * kNsPerSecond);
  EXPECT_TRUE(stalled.log.contains(
      "[m2] capture SILENT-STALL: no frame from the capture for 6s with 1 client(s) — rebuilding capture stream"));
  EXPECT_TRUE(stalled.log.contains("[m2] capture auto-restarted"));
  EXPECT_EQ(stalled.bank->made().size(), 2u);
  EXPECT_EQ(stalled.capture->health().stallBackoffNs, 8 * kNsPerSecond);
}

TEST(CaptureControl, RecoveryTicksRetryUntilCaptureStartsAndThenSayHelloAgain) {
  CaptureRig rig;
  ASSERT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::started);
  rig.bank->failingCaptureStarts = 3;  // one recovery tick's three attempts
  rig.capture->stop();
  rig.capture->armRecovery();
  rig.capture->armRecovery();  // one chain at a time
  EXPECT_EQ(rig.capture->health().captureRecoveryRequests, 2);
  rig.queue->advance(1 * kNsPerSecond);
  EXPECT_TRUE(rig.log.contains("[m2] capture not ready (attempt 1) — waiting for the capture; "
                               "retrying every ≤2 s"));
  rig.queue->advance(2 * kNsPerSecond);
  EXPECT_TRUE(rig.log.contains("[m2] capture recovered after 2 attempt(s)"));
  EXPECT_TRUE(rig.capture->running());
  EXPECT_FALSE(rig.capture->health().captureRecoveryArmed);
  EXPECT_EQ(rig.recovered, 1);
}

// A capture that ends is restarted at once; one that ends again as soon as it
// is made (a sound server back half-ready) is made again only after growing
// pauses, each a new monitor on GNOME; one that served a while is restarted at once.
TEST(CaptureControl, ARestartThatEndsYoungIsStartedAgainAfterGrowingPauses) {
  CaptureRig rig;
  ASSERT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::started);
  const auto endNewest = [&] {
    rig.bank->made().back()->onStop(std::make_exception_ptr(std::runtime_error("stream gone")));
    rig.queue->runReady();
  };
  endNewest();
  ASSERT_EQ(rig.bank->made().size(), 2u);
  endNewest();
  EXPECT_EQ(rig.bank->made().size(), 2u) << "started again at once";
  EXPECT_FALSE(rig.capture->running());
  EXPECT_TRUE(rig.log.contains("[m2] capture ended 0 ms after its restart — next start in 1 s"));
  rig.queue->advance(1 * kNsPerSecond);
  ASSERT_EQ(rig.bank->made().size(), 3u);
  endNewest();
  rig.queue->advance(1 * kNsPerSecond);
  EXPECT_EQ(rig.bank->made().size(), 3u);
  rig.queue->advance(1 * kNsPerSecond);
  ASSERT_EQ(rig.bank->made().size(), 4u);
  EXPECT_EQ(rig.recovered, 2);  // each return says Hello again

  rig.queue->advance(5684 * kNsPerMs);  // served a while: no failure at once
  endNewest();
  EXPECT_EQ(rig.bank->made().size(), 5u);
  EXPECT_TRUE(rig.capture->running());
}

// A display server restarting has not yet taken its names when the capture
// that ended with the old one is restarted: recovery brings it back.
TEST(CaptureControl, ADisplayThatCannotBePreparedYetIsAFailedStartThatRecoveryRetries) {
  CaptureRig rig;
  ASSERT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::started);
  rig.capture->startWatchdog();
  rig.preparesRefused = 3;  // the restart's three attempts
  rig.bank->made().back()->onStop(std::make_exception_ptr(std::runtime_error("Mutter left the bus")));
  rig.queue->runReady();
  const uint64_t ended = rig.queue->nowNs();
  EXPECT_EQ(rig.outages, (std::vector<std::pair<uint64_t, bool>>{{ended, true}})) << "told before the attempts";
  EXPECT_FALSE(rig.capture->running());
  EXPECT_EQ(rig.capture->lastError(), "Name \"org.gnome.Mutter.DisplayConfig\" does not exist");
  EXPECT_TRUE(rig.capture->health().captureRecoveryArmed);
  rig.queue->advance(1 * kNsPerSecond);
  EXPECT_TRUE(rig.log.contains("[m2] capture recovered after 1 attempt(s)"));
  EXPECT_EQ(rig.bank->made().size(), 2u);
  EXPECT_EQ(rig.recovered, 1);
  rig.queue->advance(CaptureControl::kOutageCheckNs);
  ASSERT_EQ(rig.outages.size(), 2u);
  EXPECT_FALSE(rig.outages[1].second);
  EXPECT_LE(rig.outages[1].first - ended, 1 * kNsPerSecond + CaptureControl::kOutageCheckNs);
}

// A compositor paused a while keeps its bus name and its session: it is
// waited for, not made anew (which would move the tablet's windows away),
// while the clients hear of the outage within 2 s and get the screen as it
// stands once it answers. Silent beyond the bound, it is taken for gone.
TEST(CaptureControl, ASilentServerThatHoldsItsSessionIsWaitedForUpToItsBound) {
  CaptureRig rig;
  rig.bank->aliveCheckNs = 500 * kNsPerMs;
  rig.bank->holdsSession = true;
  rig.setHash(std::nullopt, false);  // the probe is not answered
  const uint64_t t0 = rig.queue->nowNs();
  ASSERT_EQ(rig.capture->start(kMode, 3), CaptureControl::Start::started);
  rig.capture->startWatchdog();
  rig.queue->advance(30 * kNsPerSecond);
  ASSERT_EQ(rig.outages.size(), 1u);
  EXPECT_TRUE(rig.outages[0].second);
  EXPECT_LE(rig.outages[0].first - t0, 2 * kNsPerSecond);
  EXPECT_TRUE(rig.log.contains("[m2] capture quiet 4s: no answer from the capture, which still hold the session — "
                               "waiting (made anew after 60 s of silence)"));
  EXPECT_EQ(rig.bank->probes().size(), 1u) << "probed again while its alive checks go unanswered";
  EXPECT_EQ(rig.bank->made().size(), 1u);

  const int grabs = rig.bank->oneShotCount();
  rig.bank->deliveries = 1;  // it answers again
  rig.bank->lastDeliveryNs = rig.queue->nowNs();
  rig.queue->advance(CaptureControl::kOutageCheckNs);
  ASSERT_EQ(rig.outages.size(), 2u);
  EXPECT_FALSE(rig.outages[1].second);
  EXPECT_EQ(rig.bank->oneShotCount(), grabs + 1) << "the screen as it stands was not seeded";

  rig.queue->advance(CaptureControl::kSilentServerBoundNs + CaptureControl::kStallTickNs);
  EXPECT_EQ(rig.log.count("[m2] capture SILENT-STALL: no frame from the capture for 60s"), 1);
  EXPECT_EQ(rig.bank->made().size(), 2u);
}

// On a real X server: the faulted restarts time out, then capture resumes and delivers.
TEST(CaptureControlIntegration, FaultInjectedStartsTimeOutAfterTheFirstThenCaptureResumes) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  CaptureRig rig(2, 8 * kNsPerSecond, std::make_shared<X11DesktopEnvironment>(x.display()));
  // The first start of a session is never faulted.
  ASSERT_EQ(rig.capture->start({320, 240, 30}, 3), CaptureControl::Start::started);
  EXPECT_FALSE(rig.log.contains("[m2] FAULT"));
  rig.capture->stop();
  EXPECT_EQ(rig.capture->start({320, 240, 30}, 3), CaptureControl::Start::timedOut);
  EXPECT_EQ(rig.capture->start({320, 240, 30}, 3), CaptureControl::Start::timedOut);
  EXPECT_EQ(rig.capture->start({320, 240, 30}, 3), CaptureControl::Start::started);
  EXPECT_EQ(rig.log.count("[m2] FAULT"), 2);
  EXPECT_TRUE(test::eventually([&] { return rig.capture->deliveryCount() > 0; }));
}

}  // namespace
}  // namespace lumenrail
