// The session's encoders over the fake desktop: the rebuild's rollback, codec
// negotiation and the small lane, with the rest of a rebuild recorded.
#include <gtest/gtest.h>

#include "session/LaneEncoders.hpp"
#include "support/EventLog.hpp"
#include "support/FakeDesktopEnvironment.hpp"

namespace lumenrail {
namespace {

using Mode = LaneEncoders::Mode;
using Rebuild = LaneEncoders::Rebuild;

struct LanesRig {
  test::EventLog log;
  std::shared_ptr<test::FakeDesktopEnvironment> desktop = std::make_shared<test::FakeDesktopEnvironment>();
  std::shared_ptr<test::Bank> bank = desktop->bank;
  std::vector<std::string> steps;
  Rebuild captureResult = Rebuild::rebuilt;
  std::unique_ptr<LaneEncoders> lanes;

  LanesRig() {
    LaneEncoders::Config c;
    c.desktop = desktop;
    WireServer::Config server;
    server.hello = LaneEncoders::hello({640, 480, 30}, Wire::Codec::h264);
    c.server = WireServer::create(std::move(server));
    c.pump = CaptureServePump::make(30, 10, false, uptimeNs, [] { return false; },
                                    [](const PixelBufferRef&, uint64_t, uint64_t, bool) {});
    c.log = [this](const std::string& line) { log.add(line); };
    c.mode = {640, 480, 30};
    c.steps.takeDown = [this](const Mode& m) { steps.push_back("down " + LaneEncoders::label(m)); };
    c.steps.bringUp = [this](const Mode& m) {
      steps.push_back("up " + LaneEncoders::label(m));
      return captureResult;
    };
    c.steps.captureDown = [this] { steps.push_back("recover"); };
    c.smallVideo = std::make_shared<VideoStream>(VideoStream::Config{Lane::small, c.server, nullptr, {}, uptimeNs, {}});
    c.mainVideo =
        std::make_shared<VideoStream>(VideoStream::Config{Lane::main, c.server, nullptr, {}, uptimeNs, c.smallVideo});
    lanes = std::make_unique<LaneEncoders>(std::move(c));
    lanes->startMain();
  }
  ~LanesRig() { lanes->stop(); }
};

TEST(LaneEncoders, ARebuildWhoseEncoderFailsRestoresThePreviousModesEncoder) {
  LanesRig rig;
  rig.bank->failingWidths = {1280};
  EXPECT_EQ(rig.lanes->rebuildOrRestore({1280, 720, 30}, Wire::Codec::h264, "restoring", "lost"),
            Rebuild::encoderFailed);
  EXPECT_EQ(rig.lanes->mode(), (Mode{640, 480, 30}));
  EXPECT_EQ(rig.steps, (std::vector<std::string>{"down 1280x720@30", "down 640x480@30", "up 640x480@30"}));
  EXPECT_TRUE(rig.log.contains("[m2] encoder restart failed: fake encoder refused"));
  EXPECT_TRUE(rig.log.contains("restoring"));
  EXPECT_FALSE(rig.log.contains("lost"));
  EXPECT_EQ(rig.bank->startedEncoders.back().width, 640);

  // A rebuild whose capture stays down keeps the new mode and hands over to recovery.
  rig.steps.clear();
  rig.captureResult = Rebuild::captureDown;
  EXPECT_EQ(rig.lanes->rebuildOrRestore({800, 600, 30}, Wire::Codec::h264, "restoring", "lost"),
            Rebuild::captureDown);
  EXPECT_EQ(rig.lanes->mode(), (Mode{800, 600, 30}));
  EXPECT_EQ(rig.steps, (std::vector<std::string>{"down 800x600@30", "up 800x600@30", "recover"}));
}

TEST(LaneEncoders, ACodecWithoutAnEncoderRevertsToTheOldOne) {
  LanesRig rig;
  rig.bank->failingCodecs = {Wire::Codec::hevc};
  EXPECT_FALSE(rig.lanes->negotiateCodec(false));  // already H.264: nothing is tried
  EXPECT_TRUE(rig.lanes->negotiateCodec(true));
  EXPECT_EQ(rig.lanes->codec(), Wire::Codec::h264);
  EXPECT_TRUE(rig.log.contains("[m2] codec h264 → hevc (client HEVC decoder present)"));
  EXPECT_TRUE(rig.log.contains("[m2] WARN: hevc encoder unavailable — reverting to h264"));
  EXPECT_FALSE(rig.log.contains("[enc] codec now"));

  rig.bank->failingCodecs.clear();
  rig.lanes->negotiateCodec(true);
  EXPECT_EQ(rig.lanes->codec(), Wire::Codec::hevc);
  EXPECT_TRUE(rig.log.contains("[enc] codec now hevc"));
}

TEST(LaneEncoders, ASmallerSecondaryGetsASmallLaneThatEndsWhenItLeaves) {
  LanesRig rig;
  rig.lanes->updateSmallLane(7, {{7, {640, 480, 30}}, {9, {320, 240, 30}}});
  EXPECT_EQ(rig.lanes->smallMode(), (Mode{320, 240, 30}));
  EXPECT_EQ(rig.lanes->smallMembers(), (std::set<int32_t>{9}));
  EXPECT_TRUE(rig.log.contains("[m2] small lane 320x240@30 h264 (main 640x480@30) → fd [9], hardware=false"));
  rig.lanes->updateSmallLane(7, {{7, {640, 480, 30}}});
  EXPECT_EQ(rig.lanes->smallMode(), std::nullopt);
  EXPECT_TRUE(rig.log.contains("[m2] small lane off — every client fits 640x480@30"));
}

}  // namespace
}  // namespace lumenrail
