// Live reconfiguration of the serving session over fake capture, encoders and
// displays: real clients on loopback drive it, and each check reads the
// session's state on its reconfiguration queue after the work queued before.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <future>
#include <stdexcept>

#include "SessionTestRig.hpp"
#include "platform/OneShotEvent.hpp"
#include "session/M2Pipeline.hpp"
#include "support/EventLog.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail {
namespace {

using Mode = M2Pipeline::Mode;
using test::Rig;
using test::WireTestClient;

struct HelloSeen {
  uint8_t codec;
  uint32_t width, height, fps;
};

std::optional<HelloSeen> nextHello(WireTestClient& client) {
  const auto h = client.readUntil(test::Code::hello);
  if (!h || h->payload.size() < 16) return std::nullopt;
  return HelloSeen{h->payload[1], test::le32(h->payload, 4), test::le32(h->payload, 8), test::le32(h->payload, 12)};
}

struct Applied {
  uint8_t fields, fps;
  uint32_t kbps;
};

std::optional<Applied> nextApplied(WireTestClient& client) {
  const auto a = client.readUntil(test::Code::encoderConfigApplied);
  if (!a || a->payload.size() < 8) return std::nullopt;
  return Applied{a->payload[0], a->payload[2], test::le32(a->payload, 4)};
}

// ---- display-mode ownership and the small lane ---------------------------------------

TEST(LiveReconfigurationIntegration, ASecondarysModeIsIgnoredButPlannedIntoTheSmallLane) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(1280, 720, 30)));
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.mode == Mode{1280, 720, 30}; }));
  const int32_t fdA = *rig.state().primary;
  EXPECT_TRUE(rig.log.contains("[m2] reconfiguring 640x480@30 → 1280x720@30"));
  EXPECT_TRUE(rig.log.contains("[m2] now capturing + serving 1280x720@30"));

  auto b = rig.connect();
  ASSERT_TRUE(b.send(test::Code::clientMode, WireTestClient::clientMode(640, 360, 24)));
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.smallMode.has_value(); }));
  auto s = rig.state();
  EXPECT_EQ(s.mode, (Mode{1280, 720, 30}));  // the primary still owns the mode
  EXPECT_EQ(s.primary, fdA);
  // 640x368 fits the 1280x720 stream scaled by 0.5, rounded down to 16s.
  EXPECT_EQ(*s.smallMode, (Mode{640, 352, 24}));
  ASSERT_EQ(s.smallMembers.size(), 1u);
  const int32_t fdB = *s.smallMembers.begin();
  EXPECT_NE(fdB, fdA);
  EXPECT_TRUE(rig.log.contains("[m2] ClientMode 640x368@24 from secondary client (fd " + std::to_string(fdB) +
                               ") — primary (fd " + std::to_string(fdA) + ") owns 1280x720@30"));
  EXPECT_TRUE(rig.log.contains("[m2] small lane 640x352@24 h264 (main 1280x720@30) → fd [" + std::to_string(fdB) +
                               "], hardware=false"));
  // The member is told the small stream's size.
  std::optional<HelloSeen> small;
  for (int i = 0; i < 4 && !(small && small->width != 1280); ++i) small = nextHello(b);
  ASSERT_TRUE(small.has_value());
  EXPECT_EQ(small->width, static_cast<uint32_t>(s.smallMode->width));
  EXPECT_EQ(small->height, static_cast<uint32_t>(s.smallMode->height));

  // The secondary leaves: the lane goes with it.
  b.close();
  ASSERT_TRUE(rig.waitState([](const auto& st) { return !st.smallMode.has_value(); }));
  EXPECT_TRUE(rig.log.contains("[m2] small lane off — every client fits 1280x720@30"));
  EXPECT_EQ(rig.state().lastModes.size(), 1u);
}

TEST(LiveReconfigurationIntegration, ThePrimaryLeavingPromotesTheClientThatToldItsModeThenTheLowestLive) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.primary.has_value(); }));
  const int32_t fdA = *rig.state().primary;
  EXPECT_TRUE(rig.log.contains("[m2] ClientMode matches current 640x480@30 — no change"));

  auto b = rig.connect();  // tells no mode
  auto c = rig.connect();
  ASSERT_TRUE(c.send(test::Code::clientMode, WireTestClient::clientMode(800, 608, 30)));
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.lastModes.size() == 2; }));
  int32_t fdC = -1;
  for (auto& [fd, mode] : rig.state().lastModes) {
    if (fd != fdA) fdC = fd;
  }
  EXPECT_EQ(rig.state().mode, (Mode{640, 480, 30}));

  a.close();
  ASSERT_TRUE(rig.waitState([&](const auto& s) { return s.primary == fdC; }));
  EXPECT_TRUE(rig.log.contains("[m2] primary client (fd " + std::to_string(fdA) +
                               ") disconnected — display-mode lock → fd " + std::to_string(fdC)));
  EXPECT_EQ(rig.state().mode, (Mode{800, 608, 30}));  // the heir's mode is applied
  const auto hello = nextHello(c);  // its first Hello, then the rebuilt one
  ASSERT_TRUE(hello.has_value());

  // The heir leaves: the lowest live client inherits, though it never told a
  // mode, and the heir's mode does not stay: the stream is the host's again.
  c.close();
  ASSERT_TRUE(rig.waitState([&](const auto& s) { return s.primary.has_value() && *s.primary != fdC; }));
  EXPECT_EQ(rig.state().mode, (Mode{640, 480, 30}));
  b.close();
  ASSERT_TRUE(rig.waitState([](const auto& s) { return !s.primary.has_value(); }));
  EXPECT_TRUE(rig.log.contains("disconnected — display-mode lock released"));
}

TEST(LiveReconfigurationIntegration, AModeEqualToTheCurrentOneRebuildsNothingAndAnUnusableOneIsRejected) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  const size_t encoders = rig.bank->encoderCount();
  const size_t captures = rig.bank->captures().size();
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(0, 1080, 60)));
  ASSERT_TRUE(rig.log.waitFor("[m2] ClientMode 0x1080@60 rejected (no usable resolution)"));
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  ASSERT_TRUE(rig.log.waitFor("[m2] ClientMode matches current 640x480@30 — no change"));
  rig.state();
  EXPECT_EQ(rig.bank->encoderCount(), encoders);
  EXPECT_EQ(rig.bank->captures().size(), captures);
  EXPECT_FALSE(rig.log.contains("[m2] reconfiguring"));
}

TEST(LiveReconfigurationIntegration, AnEncoderThatCannotStartTheNewModeRollsBackToTheOldOne) {
  Rig rig;
  {
    std::lock_guard lock(rig.bank->mutex);
    rig.bank->failingWidths.insert(1280);
  }
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(1280, 720, 30)));
  ASSERT_TRUE(rig.log.waitFor("[m2] WARN: reconfigure failed — restoring 640x480@30"));
  auto s = rig.state();
  EXPECT_EQ(s.mode, (Mode{640, 480, 30}));
  EXPECT_TRUE(rig.log.contains("[m2] encoder restart failed: fake encoder refused"));
  EXPECT_TRUE(rig.log.contains("[enc] restarted 640x480@30 h264, hardware=false"));
  EXPECT_EQ(s.captureRecoveryRequests, 0);
}

// ---- codec ---------------------------------------------------------------------------

TEST(LiveReconfigurationIntegration, AnHevcEncoderThatCannotStartRevertsToH264) {
  Rig rig;
  {
    std::lock_guard lock(rig.bank->mutex);
    rig.bank->failingCodecs.insert(Wire::Codec::hevc);
  }
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientCaps, WireTestClient::clientCaps(Wire::ClientFeature::hevc)));
  ASSERT_TRUE(rig.log.waitFor("[m2] WARN: hevc encoder unavailable — reverting to h264"));
  const auto s = rig.state();
  EXPECT_EQ(s.codec, Wire::Codec::h264);
  EXPECT_TRUE(rig.log.contains("[m2] codec h264 → hevc (client HEVC decoder present)"));
  EXPECT_FALSE(rig.log.contains("[enc] codec now hevc"));
  // The stream the client is told about stays H.264.
  const auto hello = nextHello(a);
  ASSERT_TRUE(hello.has_value());
  EXPECT_EQ(hello->codec, 0);
}

TEST(LiveReconfigurationIntegration, AnHevcCapableClientGetsAnHevcStreamAndItsSmallLaneFollows) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  auto b = rig.connect();
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.primary.has_value(); }));
  ASSERT_TRUE(b.send(test::Code::clientMode, WireTestClient::clientMode(320, 240, 30)));
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.smallMode.has_value(); }));
  ASSERT_TRUE(a.send(test::Code::clientCaps, WireTestClient::clientCaps(Wire::ClientFeature::hevc)));
  ASSERT_TRUE(b.send(test::Code::clientCaps, WireTestClient::clientCaps(Wire::ClientFeature::hevc)));
  ASSERT_TRUE(rig.log.waitFor("[enc] codec now hevc"));
  ASSERT_TRUE(rig.log.waitFor("[m2] small lane 320x240@30 hevc"));
  EXPECT_EQ(rig.state().codec, Wire::Codec::hevc);
}

// ---- encoder settings -----------------------------------------------------------------

TEST(LiveReconfigurationIntegration, ABitrateAbove60000KbpsIsClampedAndEchoed) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(
      a.send(test::Code::encoderConfig, WireTestClient::encoderConfig(Wire::EncoderField::bitrate, 0, 0, 80000)));
  const auto applied = nextApplied(a);
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ(applied->fields, Wire::EncoderField::bitrate);
  EXPECT_EQ(applied->kbps, 60000u);
  EXPECT_TRUE(rig.log.contains("[enc] bitrate request 80000 kbps clamped to 60000 — beyond the validated range"));
  EXPECT_TRUE(rig.log.contains("[enc] config applied: 60000 kbps"));
  const auto live = rig.bank->live();
  ASSERT_FALSE(live.empty());
  EXPECT_EQ(live.back().bitrateBps, 60'000'000);
  EXPECT_FALSE(live.back().fps.has_value());
}

TEST(LiveReconfigurationIntegration, AnFpsCapAboveTheStreamGivesTheStreamsRate) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::encoderConfig, WireTestClient::encoderConfig(Wire::EncoderField::fpsCap, 0, 120, 0)));
  const auto applied = nextApplied(a);
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ(applied->fields, Wire::EncoderField::fpsCap);
  EXPECT_EQ(applied->fps, 30);
  EXPECT_TRUE(rig.log.contains("[enc] config applied: fps≤30"));
}

TEST(LiveReconfigurationIntegration, CapsOfZeroAreRefusedNotApplied) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  ASSERT_TRUE(a.send(test::Code::encoderConfig,
                     WireTestClient::encoderConfig(Wire::EncoderField::fpsCap | Wire::EncoderField::bitrate, 0, 0, 0)));
  const auto applied = nextApplied(a);
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ(applied->fields, 0);
  EXPECT_TRUE(rig.log.contains("[enc] bitrate request 0 kbps refused — keeping the current rate"));
  EXPECT_TRUE(rig.log.contains("[enc] fps cap 0 refused — keeping 30 fps"));
  EXPECT_TRUE(rig.log.contains("[enc] config applied: nothing (no knob accepted)"));
  EXPECT_TRUE(rig.bank->live().empty());
}

TEST(LiveReconfigurationIntegration, SettingsReappliedByARebuildAreCappedByTheNewModesRate) {
  Rig rig({640, 480, 60});
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  const uint8_t both = Wire::EncoderField::fpsCap | Wire::EncoderField::bitrate;
  ASSERT_TRUE(a.send(test::Code::encoderConfig, WireTestClient::encoderConfig(both, 0, 50, 8000)));
  auto applied = nextApplied(a);
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ(applied->fps, 50);

  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  applied = nextApplied(a);
  ASSERT_TRUE(applied.has_value());
  EXPECT_EQ(applied->fps, 30);  // not the 50 the old 60 fps mode allowed
  EXPECT_EQ(applied->kbps, 8000u);
  const auto live = rig.bank->live();
  ASSERT_FALSE(live.empty());
  EXPECT_EQ(live.back().encoder.fps, 30);
  EXPECT_EQ(live.back().fps, 30);
  EXPECT_EQ(rig.state().desiredEncoderConfig.fpsCap, 50);  // the wish itself is kept
}

// ---- extend or mirror, pen high rate ------------------------------------------------------

TEST(LiveReconfigurationIntegration, MirrorDestroysThePromotedDisplayAndExtendRecreatesIt) {
  Rig rig({640, 480, 30}, false, true);
  ASSERT_TRUE(rig.start());
  const uint32_t first = rig.pipeline->virtualDisplayID();
  ASSERT_NE(first, 0u);
  auto a = rig.connect();
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.penHighRateApplied; }));
  EXPECT_EQ(rig.displays->mainDisplay(), first);

  rig.pipeline->setCaptureMain(true);
  auto s = rig.state();
  EXPECT_TRUE(s.captureMain);
  EXPECT_FALSE(s.penHighRateApplied);
  EXPECT_EQ(s.vdId, 0u);
  EXPECT_EQ(rig.displays->mainDisplay(), 1u);  // the old main display is back
  EXPECT_EQ(rig.displays->activeDisplays(), std::vector<uint32_t>{1});
  EXPECT_TRUE(rig.log.contains("[m2] display mode extend → mirror"));
  EXPECT_TRUE(rig.log.contains("[m2] now capturing main display (mirror) 640x480@30"));
  EXPECT_EQ(rig.bank->captures().back().displayID, 0u);

  rig.pipeline->setCaptureMain(false);
  s = rig.state();
  EXPECT_FALSE(s.captureMain);
  ASSERT_NE(s.vdId, 0u);
  EXPECT_NE(s.vdId, first);
  EXPECT_EQ(rig.pipeline->virtualDisplayID(), s.vdId);
  EXPECT_TRUE(s.penHighRateApplied);  // a client is still there
  EXPECT_EQ(rig.displays->mainDisplay(), s.vdId);
  EXPECT_EQ(rig.bank->captures().back().displayID, s.vdId);
  EXPECT_TRUE(rig.log.contains("[m2] now capturing virtual display (extend) 640x480@30"));

  rig.pipeline->setCaptureMain(false);
  rig.state();
  EXPECT_TRUE(rig.log.contains("[m2] display mode already extend — no change"));

  // The last client leaving gives the main display back.
  a.close();
  ASSERT_TRUE(rig.waitState([](const auto& st) { return !st.penHighRateApplied; }));
  EXPECT_EQ(rig.displays->mainDisplay(), 1u);
}

TEST(LiveReconfigurationIntegration, ASwitchToExtendThatCannotCreateTheDisplayStaysOnMirror) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  {
    std::lock_guard lock(rig.displays->mutex);
    rig.displays->failAdds = true;
  }
  rig.pipeline->setCaptureMain(false);
  const auto s = rig.state();
  EXPECT_TRUE(s.captureMain);
  EXPECT_TRUE(rig.pipeline->captureMain());
  EXPECT_EQ(s.vdId, 0u);
  EXPECT_TRUE(rig.log.contains("[m2] WARN: virtual display create failed — staying on mirror"));
  EXPECT_TRUE(rig.log.contains("[m2] now capturing main display (mirror) 640x480@30"));
}

TEST(LiveReconfigurationIntegration, AFailedCaptureRestartAfterASwitchArmsRecovery) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  {
    std::lock_guard lock(rig.bank->mutex);
    rig.bank->failingCaptureStarts = 3;
  }
  rig.pipeline->setCaptureMain(false);
  const auto s = rig.state();
  EXPECT_TRUE(rig.log.contains("[m2] WARN: capture restart after mode switch failed"));
  EXPECT_EQ(s.captureRecoveryRequests, 1);
  EXPECT_FALSE(s.captureMain);  // the virtual display exists; capture recovery will capture it
  EXPECT_NE(s.vdId, 0u);
}

TEST(LiveReconfigurationIntegration, PenHighRateFollowsTheSwitchAndTheClients) {
  Rig rig({640, 480, 30}, false, false);
  ASSERT_TRUE(rig.start());
  const uint32_t vd = rig.pipeline->virtualDisplayID();
  rig.pipeline->setPenHighRate(true);
  EXPECT_FALSE(rig.state().penHighRateApplied);  // nobody is connected
  EXPECT_TRUE(rig.log.contains("[pen] high-rate pen mode ON"));
  auto a = rig.connect();
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.penHighRateApplied; }));
  EXPECT_EQ(rig.displays->mainDisplay(), vd);
  EXPECT_TRUE(rig.log.contains("[pen] high-rate: Lumenrail display is now main at 240 Hz"));
  rig.pipeline->setPenHighRate(false);
  EXPECT_FALSE(rig.state().penHighRateApplied);
  EXPECT_EQ(rig.displays->mainDisplay(), 1u);
  EXPECT_TRUE(rig.log.contains("[pen] high-rate: main display restored"));
}

// The owner's main queue, run by the test thread when it chooses.
struct FakeMainQueue final : Executor {
  std::mutex mutex;
  std::vector<std::function<void()>> posted;
  test::EventCounter count;
  void postAfter(uint64_t, Task) override { ADD_FAILURE() << "the session only posts to the main queue"; }
  Timer startTimer(uint64_t, uint64_t, Task) override {
    ADD_FAILURE() << "the session only posts to the main queue";
    return {};
  }
  uint64_t nowNs() const override { return 0; }
  bool isCurrent() const override { return false; }
  void post(std::function<void()> work) override {
    {
      std::lock_guard lock(mutex);
      posted.push_back(std::move(work));
    }
    count.add();
  }
  void drain() {
    std::vector<std::function<void()>> work;
    {
      std::lock_guard lock(mutex);
      work.swap(posted);
    }
    for (auto& w : work) w();
  }
};

TEST(LiveReconfigurationIntegration, DuringTheStartTheOwnersHooksArePostedAtOnceAndAModeIsAppliedOnceItIsDone) {
  auto main = std::make_shared<FakeMainQueue>();
  Rig rig({640, 480, 30}, true, false, [main](M2Pipeline::Config& c) {
    c.mainQueue = main;
  });
  std::vector<std::pair<std::string, bool>> named;
  rig.pipeline->onClientNamed = [&](const std::string& name, bool overNetwork) { named.emplace_back(name, overNetwork); };
  rig.gate->armed = true;
  auto started = std::async(std::launch::async, [&] { return rig.start(); });
  ASSERT_TRUE(rig.gate->entered.waitFor(test::kDeadlineNs));  // the server listens, capture is starting
  rig.gate->armed = false;
  WireTestClient a(rig.pipeline->boundPort());
  ASSERT_TRUE(a.send(test::Code::clientInfo, test::RawBytes{'P', 'a', 'd'}));
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(800, 608, 30)));
  // The ClientMode is posted only after its wire line; a client's packets are
  // handled in order, so the TimeSync reply shows the post has been made.
  test::RawBytes echo;
  test::putLE64(echo, 42);
  ASSERT_TRUE(a.send(test::Code::timeSync, echo));
  ASSERT_TRUE(a.readUntil(test::Code::timeSync).has_value());
  ASSERT_TRUE(rig.log.contains("[wire] ClientMode ← client"));
  // The hook is on the owner's queue while the start still runs; only the
  // owner's queue calls it.
  ASSERT_TRUE(main->count.waitFor(1));
  EXPECT_TRUE(named.empty());
  main->drain();
  EXPECT_EQ(named, (std::vector<std::pair<std::string, bool>>{{"Pad", false}}));  // 127.0.0.1 is no network
  // The mode is held back: the start's capture is not pulled from under it.
  EXPECT_FALSE(rig.log.contains("[m2] reconfiguring"));
  rig.gate->release.signal();
  ASSERT_TRUE(started.get());
  ASSERT_TRUE(rig.waitState([](const auto& s) { return s.mode == Mode{800, 608, 30}; }));
  EXPECT_TRUE(rig.log.contains("[m2] reconfiguring 640x480@30 → 800x608@30"));
}

TEST(LiveReconfigurationIntegration, StopDuringARebuildsCaptureStartEndsItPromptly) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  rig.gate->armed = true;
  ASSERT_TRUE(a.send(test::Code::clientMode, WireTestClient::clientMode(800, 608, 30)));
  ASSERT_TRUE(rig.gate->entered.waitFor(test::kDeadlineNs));  // the rebuild waits on its capture
  auto stopped = std::async(std::launch::async, [&] { rig.pipeline->stopServing(); });
  EXPECT_TRUE(a.readUntil(test::Code::bye).has_value());
  rig.gate->release.signal();
  stopped.get();
  EXPECT_TRUE(rig.log.contains("[m2] capture started after its wait gave up — stopped it again"));
  EXPECT_EQ(rig.state().captureRecoveryRequests, 0);  // a stopped session recovers nothing
}

TEST(LiveReconfigurationIntegration, NothingIsReconfiguredOnceServingHasStopped) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  rig.pipeline->stopServing();
  rig.pipeline->setCaptureMain(false);
  rig.pipeline->requestClientMode({1280, 720, 30}, 5);
  const auto s = rig.state();
  EXPECT_TRUE(s.captureMain);
  EXPECT_EQ(s.mode, (Mode{640, 480, 30}));
  EXPECT_FALSE(rig.log.contains("[m2] display mode"));
}

TEST(LiveReconfigurationIntegration, GettersListTheConnectedClients) {
  Rig rig;
  ASSERT_TRUE(rig.start());
  auto a = rig.connect();
  const std::string name = "Tablet";
  ASSERT_TRUE(a.send(test::Code::clientInfo, test::RawBytes(name.begin(), name.end())));
  ASSERT_TRUE(test::eventually([&] { return rig.pipeline->connectedClientNames() == std::vector<std::string>{name}; }));
  EXPECT_FALSE(rig.pipeline->hasNetworkClient());  // a loopback peer is this machine, not the network
  EXPECT_TRUE(rig.pipeline->connectedFingerprints().empty());
  rig.pipeline->setMainDevice("AAAAAAAAAAA");
  rig.state();
  EXPECT_TRUE(rig.log.contains("[m2] set-main ignored — AAAAAAAAAAA has no live connection"));
  EXPECT_FALSE(rig.pipeline->mainFingerprint().has_value());
}

}  // namespace
}  // namespace lumenrail
