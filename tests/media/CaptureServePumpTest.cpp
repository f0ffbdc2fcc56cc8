#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <mutex>
#include <vector>

#include "media/CaptureServePump.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

struct Encoded {
  const PixelBuffer* buffer;
  uint64_t captureNs;
  uint64_t presentationNs;
  bool force;
  bool operator==(const Encoded&) const = default;
};

// A pump on a hand-driven clock whose encodes and keyframe requests are recorded.
struct PumpRig {
  explicit PumpRig(int64_t fps = 60, int64_t idleHz = 10, bool bypass = false) {
    pump = CaptureServePump::make(
        fps, idleHz, bypass, [this] { return now.load(); },
        [this] {
          ++idrAsks;
          return idrWanted.exchange(false);
        },
        [this](const PixelBufferRef& b, uint64_t captureNs, uint64_t pts, bool force) {
          std::lock_guard guard(mutex);
          encodes.push_back({b.get(), captureNs, pts, force});
        });
  }
  std::vector<Encoded> take() {
    std::lock_guard guard(mutex);
    return std::exchange(encodes, {});
  }
  std::atomic<uint64_t> now{5 * kNsPerSecond};
  std::atomic<bool> idrWanted{false};
  std::atomic<int> idrAsks{0};
  std::mutex mutex;
  std::vector<Encoded> encodes;
  std::shared_ptr<CaptureServePump> pump;
};

PixelBufferRef frame(int64_t w = 16, int64_t h = 16) { return PixelBuffer::make(PixelFormat::bgra, w, h); }

constexpr uint64_t kMs = kNsPerMs;

int threadsNamed(const std::string& osName) {
  int n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    std::getline(comm, name);
    n += name == osName;
  }
  return n;
}

TEST(CaptureServePumpIntervals, FollowTheRatesAndNeverTickAtZero) {
  PumpRig sixty(60, 10);
  EXPECT_EQ(sixty.pump->paceIntervalNs(), 16'666'666u);
  EXPECT_EQ(sixty.pump->idleIntervalNs(), 100'000'000u);
  EXPECT_EQ(sixty.pump->tickUs(), 5555u);

  for (int64_t slow : {-5, 0, 1}) {
    PumpRig rig(slow, slow);
    EXPECT_EQ(rig.pump->paceIntervalNs(), 1'000'000'000u) << slow;
    EXPECT_EQ(rig.pump->idleIntervalNs(), 1'000'000'000u) << slow;
    EXPECT_EQ(rig.pump->tickUs(), 333'333u) << slow;
  }

  // Absurd rates keep the pacer sleeping at least a microsecond.
  PumpRig fast(1'000'000'000, 10);
  EXPECT_EQ(fast.pump->tickUs(), 1u);
  fast.pump->setPaceHz(INT64_MAX);
  EXPECT_EQ(fast.pump->tickUs(), 1u);

  sixty.pump->setPaceHz(30);
  EXPECT_EQ(sixty.pump->paceIntervalNs(), 33'333'333u);
  EXPECT_EQ(sixty.pump->tickUs(), 11'111u);
  EXPECT_EQ(sixty.pump->idleIntervalNs(), 100'000'000u);
}

TEST(CaptureServePumpTiming, FirstFrameIsAKeyframeAndTheNewestWins) {
  PumpRig rig;
  rig.pump->tick();  // nothing yet
  EXPECT_TRUE(rig.take().empty());

  auto a = frame(), b = frame();
  rig.pump->submit(a, 4'990 * kMs);
  rig.pump->submit(b, 4'995 * kMs);
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{b.get(), 4'995 * kMs, 4'995 * kMs, true}}));
  // Asked even though the first frame is forced anyway.
  EXPECT_EQ(rig.idrAsks.load(), 1);
}

TEST(CaptureServePumpTiming, FramesEveryFiveMsAreEncodedOncePerSixtiethOfASecond) {
  PumpRig rig;
  std::vector<PixelBufferRef> frames;
  const uint64_t base = 5 * kNsPerSecond;
  for (int k = 0; k <= 13; ++k) {
    const uint64_t t = base + uint64_t(k) * 5 * kMs;
    frames.push_back(frame());
    rig.now = t;
    rig.pump->submit(frames.back(), t);
    rig.pump->tick();
  }
  // 0 ms, then the first capture at least 16.67 ms after the previous encoded one: 20, 40, 60 ms.
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{frames[0].get(), base, base, true},
                                              {frames[4].get(), base + 20 * kMs, base + 20 * kMs, false},
                                              {frames[8].get(), base + 40 * kMs, base + 40 * kMs, false},
                                              {frames[12].get(), base + 60 * kMs, base + 60 * kMs, false}}));
}

TEST(CaptureServePumpTiming, StillScreenReemitsAtTheIdleRateAndServesKeyframeRequests) {
  PumpRig rig;
  auto a = frame();
  const uint64_t t0 = 5 * kNsPerSecond;
  rig.pump->submit(a, t0);
  rig.pump->tick();
  rig.take();

  for (uint64_t ms : {50, 99}) {
    rig.now = t0 + ms * kMs;
    rig.pump->tick();
  }
  EXPECT_TRUE(rig.take().empty());
  rig.now = t0 + 100 * kMs;
  rig.pump->tick();
  rig.now = t0 + 150 * kMs;
  rig.pump->tick();
  rig.now = t0 + 200 * kMs;
  rig.pump->tick();
  // A re-emit carries the time of the re-emit.
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{a.get(), t0 + 100 * kMs, t0 + 100 * kMs, false},
                                              {a.get(), t0 + 200 * kMs, t0 + 200 * kMs, false}}));

  // A keyframe request does not wait for the idle interval.
  rig.idrWanted = true;
  rig.now = t0 + 210 * kMs;
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{a.get(), t0 + 210 * kMs, t0 + 210 * kMs, true}}));

  // Nor for the frame interval when a new frame waits.
  auto b = frame();
  rig.pump->submit(b, t0 + 212 * kMs);
  rig.idrWanted = true;
  rig.now = t0 + 213 * kMs;
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{b.get(), t0 + 212 * kMs, t0 + 212 * kMs, true}}));
  EXPECT_FALSE(rig.idrWanted.load());
}

TEST(CaptureServePumpTiming, PresentationTimesOnlyIncreaseWhileCaptureTimesStayTheFramesOwn) {
  PumpRig rig;
  auto a = frame(), late = frame(), same = frame();
  const uint64_t t0 = 5 * kNsPerSecond;
  rig.pump->submit(a, t0);
  rig.pump->tick();
  rig.now = t0 + 100 * kMs;
  rig.pump->tick();  // re-emit at 100 ms
  // Captured at 90 ms but submitted only now.
  rig.pump->submit(late, t0 + 90 * kMs);
  rig.now = t0 + 120 * kMs;
  rig.idrWanted = true;
  rig.pump->tick();
  // Same capture time as the last presentation.
  rig.pump->submit(same, t0 + 100 * kMs + 1);
  rig.idrWanted = true;
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{a.get(), t0, t0, true},
                                              {a.get(), t0 + 100 * kMs, t0 + 100 * kMs, false},
                                              {late.get(), t0 + 90 * kMs, t0 + 100 * kMs + 1, true},
                                              {same.get(), t0 + 100 * kMs + 1, t0 + 100 * kMs + 2, true}}));
}

TEST(CaptureServePumpTiming, ResetKeepsOnlyAFrameOfTheGivenSizeAndForcesTheNextKeyframe) {
  PumpRig rig;
  auto a = frame(32, 16);
  const uint64_t t0 = 5 * kNsPerSecond;
  rig.pump->submit(a, t0);
  rig.pump->tick();
  rig.take();

  rig.pump->reset(std::make_pair(int64_t(32), int64_t(16)));
  rig.now = t0 + 1 * kMs;
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{a.get(), t0 + 1 * kMs, t0 + 1 * kMs, true}}));

  rig.pump->reset(std::make_pair(int64_t(64), int64_t(16)));
  for (uint64_t ms : {2, 500, 5000}) {
    rig.now = t0 + ms * kMs;
    rig.pump->tick();
  }
  EXPECT_TRUE(rig.take().empty());

  auto b = frame(64, 16);
  rig.pump->submit(b, t0 + 5001 * kMs);
  rig.pump->reset(std::nullopt);  // drops the pending frame too
  rig.pump->tick();
  EXPECT_TRUE(rig.take().empty());
  rig.pump->submit(b, t0 + 5002 * kMs);
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{b.get(), t0 + 5002 * kMs, t0 + 5002 * kMs, true}}));
}

TEST(CaptureServePumpTiming, BypassEncodesEachSubmitAtOnceAndThePacerOnlyReemits) {
  PumpRig rig(60, 10, true);
  auto a = frame(), b = frame();
  const uint64_t t0 = 5 * kNsPerSecond;
  rig.pump->submit(a, t0);
  EXPECT_EQ(rig.idrAsks.load(), 0);  // not asked for the first frame
  rig.idrWanted = true;
  rig.pump->submit(b, t0 + 1 * kMs);
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{a.get(), t0, t0, true}, {b.get(), t0 + 1 * kMs, t0 + 1 * kMs, true}}));
  rig.now = t0 + 50 * kMs;
  rig.pump->tick();
  EXPECT_TRUE(rig.take().empty());
  rig.now = t0 + 101 * kMs;
  rig.pump->tick();
  EXPECT_EQ(rig.take(), (std::vector<Encoded>{{b.get(), t0 + 101 * kMs, t0 + 101 * kMs, false}}));
}

TEST(CaptureServePumpPacer, EncodesOnItsNamedThreadAndNothingAfterStop) {
  std::atomic<bool> stopped{false};
  std::mutex mutex;
  std::string threadName;
  test::EventCounter encodes;
  auto pump = CaptureServePump::make(
      60, 10, false, uptimeNs, [] { return false; },
      [&](const PixelBufferRef&, uint64_t, uint64_t, bool) {
        if (stopped) ADD_FAILURE() << "encode after stop";
        {
          std::lock_guard guard(mutex);
          threadName = NamedThread::currentName();
        }
        encodes.add();
      });
  pump->startPacer();
  pump->submit(frame(), uptimeNs());
  ASSERT_TRUE(encodes.waitFor(1));
  pump->stop();
  stopped = true;
  pump->submit(frame(), uptimeNs());
  pump->startPacer();  // a stopped pump stays stopped
  std::lock_guard guard(mutex);
  EXPECT_EQ(threadName, "lumenrail-m2-pacer");
}

TEST(CaptureServePumpPacer, ASlowEncodeNeitherBlocksSubmitNorOverlapsTheNextAndTheNewestFollows) {
  OneShotEvent encoding, release;
  std::mutex mutex;
  std::vector<const PixelBuffer*> encoded;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  auto pump = CaptureServePump::make(
      60, 10, false, uptimeNs, [] { return false; },
      [&](const PixelBufferRef& b, uint64_t, uint64_t, bool) {
        if (inside.fetch_add(1) != 0) overlapped = true;
        bool first;
        {
          std::lock_guard guard(mutex);
          first = encoded.empty();
          encoded.push_back(b.get());
        }
        if (first) {
          encoding.signal();
          release.waitFor(test::kDeadlineNs);
        }
        inside.fetch_sub(1);
      });
  pump->startPacer();
  auto slow = frame(), dropped = frame(), newest = frame();
  pump->submit(slow, uptimeNs());
  ASSERT_TRUE(encoding.waitFor(test::kDeadlineNs));

  // The capture thread's submits return while the encoder is stuck.
  OneShotEvent submitted;
  NamedThread capture("capture", [&] {
    pump->submit(dropped, uptimeNs());
    pump->submit(newest, uptimeNs());
    submitted.signal();
  });
  EXPECT_TRUE(submitted.waitFor(test::kDeadlineNs));
  release.signal();
  capture.join();
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard guard(mutex);
    return encoded.size() >= 2;
  }));
  pump->stop();
  std::lock_guard guard(mutex);
  EXPECT_EQ(encoded[0], slow.get());
  EXPECT_EQ(encoded[1], newest.get());
  EXPECT_FALSE(overlapped.load());
}

TEST(CaptureServePumpPacer, ReleasedOnItsOwnPacerThreadDoesNotJoinItself) {
  // Owned with the pump: the detached pacer still touches them after the test looked.
  struct Events {
    OneShotEvent encoding, released, destroyed;
  };
  auto events = std::make_shared<Events>();
  struct Sentinel {
    std::shared_ptr<Events> events;
    ~Sentinel() { events->destroyed.signal(); }
  };
  auto sentinel = std::make_shared<Sentinel>(Sentinel{events});
  auto first = std::make_shared<std::atomic<bool>>(true);
  auto pump = CaptureServePump::make(
      60, 10, false, uptimeNs, [] { return false; },
      [events, first, sentinel](const PixelBufferRef&, uint64_t, uint64_t, bool) {
        if (!first->exchange(false)) return;
        events->encoding.signal();
        events->released.waitFor(test::kDeadlineNs);
      });
  sentinel.reset();
  pump->startPacer();
  pump->submit(frame(), uptimeNs());
  ASSERT_TRUE(events->encoding.waitFor(test::kDeadlineNs));
  pump.reset();  // the pacer's tick now holds the last reference
  events->released.signal();
  EXPECT_TRUE(events->destroyed.waitFor(test::kDeadlineNs));
  // Detached, the pacer then ends by itself.
  EXPECT_TRUE(test::eventually([] { return threadsNamed("m2-pacer") == 0; }));
}

}  // namespace
}  // namespace lumenrail
