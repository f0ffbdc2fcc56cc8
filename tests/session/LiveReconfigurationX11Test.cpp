// Live reconfiguration end to end: private X servers, the real capture and
// encoders, and the independent wire client decoding what it receives.
#include <gtest/gtest.h>

#include <algorithm>

#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "session/M2Pipeline.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/QuietPublisher.hpp"
#include "support/TestVideo.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

using test::WireTestClient;

std::shared_ptr<M2Pipeline> makePipeline(const std::string& display, M2Pipeline::Mode mode, bool captureMain,
                                         test::EventLog& log) {
  M2Pipeline::Config c;
  c.mode = mode;
  c.port = 0;
  c.captureMain = captureMain;
  c.desktop = std::make_shared<X11DesktopEnvironment>(display);
  c.log = [&log](const std::string& line) { log.add(line); };
  c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<test::QuietPublisher>(); };
  return M2Pipeline::create(std::move(c));
}

// Reads until a Hello of that size, then until a keyframe, and decodes it.
void expectStreamOfSize(WireTestClient& client, uint32_t width, uint32_t height) {
  bool announced = false;
  for (int i = 0; i < 8 && !announced; ++i) {
    const auto h = client.readUntil(test::Code::hello);
    ASSERT_TRUE(h.has_value()) << "no Hello of " << width << "x" << height;
    ASSERT_GE(h->payload.size(), 16u);
    announced = test::le32(h->payload, 4) == width && test::le32(h->payload, 8) == height;
  }
  ASSERT_TRUE(announced);
  std::optional<test::RawPacket> key;
  for (int i = 0; i < 300 && !key; ++i) {
    auto f = client.readUntil(test::Code::frame);
    ASSERT_TRUE(f.has_value()) << "stream ended before a keyframe";
    ASSERT_GT(f->payload.size(), 12u);
    if (f->payload[8] == 1) key = std::move(f);
  }
  ASSERT_TRUE(key.has_value());
  test::TestDecoder decoder(Wire::Codec::h264);
  ASSERT_TRUE(decoder.ready());
  ASSERT_TRUE(decoder.decode(Bytes(key->payload.begin() + 12, key->payload.end())));
  EXPECT_EQ(decoder.picture()->width, static_cast<int>(width));
  EXPECT_EQ(decoder.picture()->height, static_cast<int>(height));
}

TEST(LiveReconfigurationX11Integration, AClientModeRebuildsTheStreamAndEncoderSettingsAreEchoed) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::EventLog log;
  auto pipeline = makePipeline(x.display(), {320, 240, 30}, true, log);
  ASSERT_TRUE(pipeline->startServing());
  WireTestClient client(pipeline->boundPort());
  expectStreamOfSize(client, 320, 240);

  ASSERT_TRUE(client.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  expectStreamOfSize(client, 640, 480);
  EXPECT_TRUE(log.contains("[enc] restarted 640x480@30 h264, hardware=false"));
  EXPECT_TRUE(log.contains("[m2] now capturing + serving 640x480@30"));

  ASSERT_TRUE(client.send(test::Code::encoderConfig,
                          WireTestClient::encoderConfig(Wire::EncoderField::bitrate | Wire::EncoderField::fpsCap, 0,
                                                        20, 80000)));
  const auto applied = client.readUntil(test::Code::encoderConfigApplied);
  ASSERT_TRUE(applied.has_value());
  ASSERT_EQ(applied->payload.size(), 8u);
  EXPECT_EQ(applied->payload[0], Wire::EncoderField::bitrate | Wire::EncoderField::fpsCap);
  EXPECT_EQ(applied->payload[2], 20);
  EXPECT_EQ(test::le32(applied->payload, 4), 60000u);
  // Frames keep coming at the new settings.
  EXPECT_TRUE(client.readUntil(test::Code::frame).has_value());
  pipeline->stopServing();
}

TEST(LiveReconfigurationX11Integration, TwoPanelSizesGetAMainAndASmallLaneThatBothDecode) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::EventLog log;
  auto pipeline = makePipeline(x.display(), {640, 480, 30}, true, log);
  ASSERT_TRUE(pipeline->startServing());
  WireTestClient big(pipeline->boundPort());
  ASSERT_TRUE(big.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  ASSERT_TRUE(test::eventually([&] { return pipeline->reconfigState().primary.has_value(); }));
  WireTestClient small(pipeline->boundPort());
  ASSERT_TRUE(small.send(test::Code::clientMode, WireTestClient::clientMode(320, 240, 30)));
  ASSERT_TRUE(test::eventually([&] { return pipeline->reconfigState().smallMode.has_value(); }));
  EXPECT_EQ(*pipeline->reconfigState().smallMode, (M2Pipeline::Mode{320, 240, 30}));

  expectStreamOfSize(small, 320, 240);
  expectStreamOfSize(big, 640, 480);
  pipeline->stopServing();
}

TEST(LiveReconfigurationX11Integration, ExtendFollowsTheClientsModeAndMirrorRemovesTheDisplay) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::EventLog log;
  auto pipeline = makePipeline(x.display(), {320, 240, 30}, false, log);
  ASSERT_TRUE(pipeline->startServing()) << (log.lines().empty() ? "" : log.lines().back());
  const uint32_t id = pipeline->virtualDisplayID();
  ASSERT_NE(id, 0u);
  WireTestClient client(pipeline->boundPort());
  expectStreamOfSize(client, 320, 240);

  ASSERT_TRUE(client.send(test::Code::clientMode, WireTestClient::clientMode(640, 480, 30)));
  expectStreamOfSize(client, 640, 480);
  EXPECT_TRUE(log.contains("[m2] virtual display " + std::to_string(id) + " mode → 640x480@30"));
  auto displays = X11DisplayConfiguration::open(x.display());
  const uint32_t now = pipeline->virtualDisplayID();
  EXPECT_EQ(now, id);  // a new mode keeps the display
  const auto bounds = displays->bounds(now);
  ASSERT_TRUE(bounds.has_value());
  EXPECT_EQ(bounds->width, 640);
  EXPECT_EQ(bounds->height, 480);

  pipeline->setCaptureMain(true);
  EXPECT_TRUE(pipeline->reconfigState().captureMain);
  const auto active = displays->activeDisplays();
  EXPECT_EQ(std::find(active.begin(), active.end(), now), active.end());
  EXPECT_EQ(pipeline->virtualDisplayID(), 0u);
  expectStreamOfSize(client, 640, 480);  // the main display, at the stream's size
  pipeline->stopServing();
}

}  // namespace
}  // namespace lumenrail
