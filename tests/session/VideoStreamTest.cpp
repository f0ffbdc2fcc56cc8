// One lane's frames from the pump to its clients: what the server's hooks
// push in (keyframes, the viewport) acts on the next frame, and each lane's
// encoder output reaches that lane's clients only.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include "session/VideoStream.hpp"
#include "support/EventLog.hpp"
#include "support/TestHello.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"

namespace lumenrail {
namespace {

using Mode = VideoStream::Mode;

constexpr Mode kMain{64, 48, 30};
constexpr Mode kSmall{32, 24, 30};
constexpr uint64_t kMs = kNsPerMs;
constexpr uint8_t kLeftLuma = 40;
constexpr uint8_t kRightLuma = 200;

// Keeps what it was handed; its access unit ends in its tag, so a client
// tells the lanes apart.
class RecordingEncoder final : public VideoEncoder {
 public:
  struct Encoded {
    int64_t width = 0;
    uint8_t firstLuma = 0;
    uint64_t captureNs = 0;
    bool keyframe = false;
  };

  explicit RecordingEncoder(uint8_t tag) : tag_(tag) {}
  void start() override {}
  void encode(const PixelBufferRef& buffer, uint64_t captureNs, bool keyframe) override {
    frames.push_back({buffer->width(), buffer->planeData(0)[0], captureNs, keyframe});
    if (sink) sink(EncodedFrame{Bytes{0, 0, 0, 1, tag_}, keyframe, captureNs});
  }
  LiveConfigResult applyLiveConfig(std::optional<float>, std::optional<int32_t>, std::optional<int32_t>) override {
    return {};
  }
  void finish() override {}
  void stop() override {}
  Wire::Codec codec() const override { return Wire::Codec::h264; }
  bool usingHardware() const override { return false; }

  bool lastWasKeyframe() const { return !frames.empty() && frames.back().keyframe; }

  std::vector<Encoded> frames;  // the pump's thread: the test's

 private:
  const uint8_t tag_;
};

// A picture whose left half is dark and right half light.
PixelBufferRef halves() {
  auto buffer = PixelBuffer::make(PixelFormat::nv12FullRange, kMain.width, kMain.height);
  for (int64_t y = 0; y < kMain.height; ++y) {
    uint8_t* row = buffer->planeData(0) + y * buffer->bytesPerRow(0);
    std::fill(row, row + kMain.width / 2, kLeftLuma);
    std::fill(row + kMain.width / 2, row + kMain.width, kRightLuma);
  }
  for (int64_t y = 0; y < kMain.height / 2; ++y) {
    uint8_t* row = buffer->planeData(1) + y * buffer->bytesPerRow(1);
    std::fill(row, row + kMain.width, 128);
  }
  return buffer;
}

// Both lanes over one server, wired as the session wires them.
struct StreamRig {
  // The keyframe requests' clock (the server's threads read it); the server
  // keeps its own, for its waits.
  std::atomic<uint64_t> clock = kNsPerSecond;
  test::EventLog log;
  std::shared_ptr<WireServer> server;
  std::shared_ptr<VideoStream> small;
  std::shared_ptr<VideoStream> main;
  std::shared_ptr<RecordingEncoder> mainEncoder = std::make_shared<RecordingEncoder>(1);
  std::shared_ptr<RecordingEncoder> smallEncoder = std::make_shared<RecordingEncoder>(2);
  WireServer::Hooks hooks;
  test::EventLog departed;  // the owner's own departure hook; the server's threads call it
  PixelBufferRef picture = halves();

  StreamRig() {
    WireServer::Config config;
    config.port = 0;
    config.hello = test::sampleHello(kMain.width, kMain.height, kMain.fps);
    server = WireServer::create(std::move(config));
    const Log::Sink sink = [this](const std::string& line) { log.add(line); };
    const NowNs now = [this] { return clock.load(); };
    small = std::make_shared<VideoStream>(VideoStream::Config{Lane::small, server, nullptr, sink, now, nullptr});
    main = std::make_shared<VideoStream>(VideoStream::Config{Lane::main, server, nullptr, sink, now, small});
    main->attach(*mainEncoder);
    main->setEncoder(mainEncoder, kMain);
    small->attach(*smallEncoder);
    small->setEncoder(smallEncoder, kSmall);
    hooks.onClientDisconnected = [this](int32_t fd) { departed.add(std::to_string(fd)); };
    main->listen(hooks);
    server->setHooks(hooks);
  }
  // Its threads call into the rig: they end before it does, also when a test fails.
  ~StreamRig() { server->stop(); }

  // What the pump does with a frame it hands over at `atNs`.
  void frameAt(uint64_t atNs) {
    clock = atNs;
    main->frame(picture, atNs, main->takeKeyframe());
  }
  bool keyframeAt(uint64_t atNs) {
    frameAt(atNs);
    return mainEncoder->lastWasKeyframe();
  }
};

TEST(VideoStream, AKeyframeAskedThroughTheHooksIsTheNextFrameAndOnlyThat) {
  StreamRig rig;
  const uint64_t t = rig.clock;
  EXPECT_TRUE(rig.keyframeAt(t)) << "the first frame announces the viewport with a keyframe";
  EXPECT_FALSE(rig.keyframeAt(t + 33 * kMs));

  rig.clock = t + 40 * kMs;
  rig.hooks.onKeyframeAsked(7);
  EXPECT_TRUE(rig.keyframeAt(t + 66 * kMs));
  EXPECT_FALSE(rig.keyframeAt(t + 100 * kMs));
  rig.hooks.onKeyframeNeeded();
  EXPECT_TRUE(rig.keyframeAt(t + 133 * kMs));
  EXPECT_FALSE(rig.keyframeAt(t + 166 * kMs));

  // Asked again inside its interval it waits; a client that leaves meanwhile
  // is forgotten, and its request with it.
  rig.clock = t + 170 * kMs;
  rig.hooks.onKeyframeAsked(7);
  EXPECT_FALSE(rig.keyframeAt(t + 200 * kMs));
  rig.hooks.onClientDisconnected(7);
  EXPECT_EQ(rig.departed.lines(), (std::vector<std::string>{"7"}));
  EXPECT_FALSE(rig.keyframeAt(t + 40 * kMs + KeyframeRequests::kClientIntervalNs));

  // The small lane makes a keyframe of each of the main lane's.
  for (const auto& main : rig.mainEncoder->frames) {
    if (!main.keyframe) continue;
    const auto& small = rig.smallEncoder->frames;
    EXPECT_TRUE(std::any_of(small.begin(), small.end(), [&](const auto& f) {
      return f.keyframe && f.captureNs == main.captureNs;
    })) << "no small-lane keyframe at " << main.captureNs;
  }
}

TEST(VideoStream, AViewportPushedInCropsTheNextFramesOfBothLanesWithAKeyframeAtMostEvery250ms) {
  StreamRig rig;
  const uint64_t t = rig.clock;
  rig.frameAt(t);
  EXPECT_EQ(rig.mainEncoder->frames.back().firstLuma, kLeftLuma);

  rig.hooks.onViewportChanged({0x8000, 0, 0x7FFF, 0xFFFF});  // the right half
  EXPECT_FALSE(rig.keyframeAt(t + 33 * kMs)) << "within 250 ms of the last viewport keyframe";
  EXPECT_EQ(rig.mainEncoder->frames.back().width, kMain.width);
  EXPECT_EQ(rig.mainEncoder->frames.back().firstLuma, kRightLuma);
  EXPECT_EQ(rig.smallEncoder->frames.back().width, kSmall.width);
  EXPECT_EQ(rig.smallEncoder->frames.back().firstLuma, kRightLuma);
  EXPECT_TRUE(rig.keyframeAt(t + 250 * kMs));
  EXPECT_EQ(rig.log.count("[m2] viewport IDR (throttled ≥250ms)"), 2);

  rig.server->resetViewport();  // through the server: its hook carries the change
  EXPECT_TRUE(rig.keyframeAt(t + 500 * kMs));
  EXPECT_EQ(rig.mainEncoder->frames.back().firstLuma, kLeftLuma);
}

TEST(VideoStreamIntegration, EachLanesFramesReachOnlyThatLanesClients) {
  test::EventCounter connected;  // outlives the rig, whose server's threads count on it
  StreamRig rig;
  rig.hooks.onClientConnected = [&] { connected.add(); };
  rig.server->setHooks(rig.hooks);
  rig.server->start();
  const auto newestFd = [&](int32_t other) {
    for (const auto& c : rig.server->connectedClients()) {
      if (c.fd != other) return c.fd;
    }
    return int32_t{-1};
  };
  test::WireTestClient big(rig.server->boundPort());
  ASSERT_TRUE(connected.waitFor(1));
  const int32_t bigFd = newestFd(-1);
  test::WireTestClient little(rig.server->boundPort());
  ASSERT_TRUE(connected.waitFor(2));
  const int32_t littleFd = newestFd(bigFd);
  ASSERT_GE(littleFd, 0);
  rig.server->setSmallLane(test::sampleHello(kSmall.width, kSmall.height, kSmall.fps), {littleFd});

  rig.frameAt(kNsPerSecond);
  rig.frameAt(2 * kNsPerSecond);
  for (auto [client, tag] : {std::pair{&big, uint8_t{1}}, std::pair{&little, uint8_t{2}}}) {
    for (uint64_t second : {1, 2}) {
      const auto frame = client->readUntil(test::Code::frame);
      ASSERT_TRUE(frame.has_value());
      EXPECT_EQ(test::le64(frame->payload, 0), second * kNsPerSecond);
      EXPECT_EQ(frame->payload.back(), tag) << "a frame of the other lane";
    }
  }
  rig.server->stop();
}

}  // namespace
}  // namespace lumenrail
