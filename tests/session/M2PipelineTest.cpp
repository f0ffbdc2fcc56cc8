// The serving session end to end under private X servers, and "--m2" as the
// built program driven from outside.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <future>

#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "desktop/x11/X11DisplayConfiguration.hpp"
#include "platform/OneShotEvent.hpp"
#include "session/M2Pipeline.hpp"
#include "support/DummyXorgFixture.hpp"
#include "support/EventLog.hpp"
#include "support/HostProcess.hpp"
#include "support/PairingClient.hpp"
#include "support/PortBlocker.hpp"
#include "support/RootPainter.hpp"
#include "support/TempPairingFolder.hpp"
#include "support/TestVideo.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "support/XServerFixture.hpp"
#include "text/L10n.hpp"

namespace lumenrail {

namespace {

using test::Code::bye;
using test::Code::frame;
using test::Code::hello;

// Records the TXT record of every advertisement; nothing reaches a real daemon.
struct Adverts {
  std::mutex mutex;
  std::vector<TxtRecord> published;
};

class FakePublisher final : public ServicePublisher {
 public:
  explicit FakePublisher(std::shared_ptr<Adverts> adverts) : adverts_(std::move(adverts)) {}
  void publish(const std::string&, const std::string&, const std::string&, uint16_t, const TxtRecord& txt) override {
    std::lock_guard lock(adverts_->mutex);
    adverts_->published.push_back(txt);
  }
  void updateTxt(const TxtRecord&) override {}
  void stop() override {}

 private:
  std::shared_ptr<Adverts> adverts_;
};

struct Harness {
  test::EventLog log;
  std::shared_ptr<Adverts> adverts = std::make_shared<Adverts>();

  M2Pipeline::Config config(const std::string& display, bool captureMain) {
    M2Pipeline::Config c;
    c.mode = {320, 240, 30};
    c.port = 0;
    c.captureMain = captureMain;
    c.desktop = std::make_shared<X11DesktopEnvironment>(display);
    c.log = [this](const std::string& line) { log.add(line); };
    c.publisherFactory = [adverts = adverts](ServicePublisher::Listener) {
      return std::make_unique<FakePublisher>(adverts);
    };
    return c;
  }
};

// Reads Hello, then frames until a keyframe; checks Hello and decodes the keyframe.
void expectHelloAndDecodableKeyframe(test::WireTestClient& client, uint32_t width, uint32_t height, uint32_t fps) {
  const auto h = client.readUntil(hello);
  ASSERT_TRUE(h.has_value());
  ASSERT_EQ(h->payload.size(), 32u);
  EXPECT_EQ(h->payload[1], 0);  // H.264
  EXPECT_EQ(test::le32(h->payload, 4), width);
  EXPECT_EQ(test::le32(h->payload, 8), height);
  EXPECT_EQ(test::le32(h->payload, 12), fps);
  EXPECT_EQ(test::le32(h->payload, 16), 1u);
  EXPECT_EQ(test::le32(h->payload, 20), 12'000'000u);
  EXPECT_EQ(test::le64(h->payload, 24), 1'000'000'000u);

  std::optional<test::RawPacket> key;
  for (int i = 0; i < 200 && !key; ++i) {
    auto f = client.readUntil(frame);
    ASSERT_TRUE(f.has_value()) << "stream ended before a keyframe";
    ASSERT_GT(f->payload.size(), 12u);
    if (f->payload[8] == 1) key = std::move(f);
  }
  ASSERT_TRUE(key.has_value());
  test::TestDecoder decoder(Wire::Codec::h264);
  ASSERT_TRUE(decoder.ready());
  const Bytes accessUnit(key->payload.begin() + 12, key->payload.end());
  ASSERT_TRUE(decoder.decode(accessUnit));
  EXPECT_EQ(decoder.picture()->width, static_cast<int>(width));
  EXPECT_EQ(decoder.picture()->height, static_cast<int>(height));
}

TEST(M2PipelineIntegration, MirrorServesHelloAndADecodableKeyframeAndSaysByeOnStop) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  auto pipeline = M2Pipeline::create(h.config(x.display(), true));
  ASSERT_TRUE(pipeline->startServing()) << (h.log.lines().empty() ? "" : h.log.lines().back());
  EXPECT_TRUE(h.log.contains("[m2] capturing main display (--capture-main)"));
  EXPECT_TRUE(h.log.contains("[enc] started, hardware=false"));
  EXPECT_TRUE(h.log.contains("[m2] capturing + serving 320x240@30 on :" + std::to_string(pipeline->boundPort())));
  // The advertiser publishes on its own thread.
  ASSERT_TRUE(test::eventually([&] {
    std::lock_guard lock(h.adverts->mutex);
    return !h.adverts->published.empty();
  }));
  {
    std::lock_guard lock(h.adverts->mutex);
    ASSERT_EQ(h.adverts->published.size(), 1u);
    const TxtRecord& txt = h.adverts->published[0];
    EXPECT_EQ(txt.at("enc"), "0");
    EXPECT_EQ(txt.at("v"), "1");
    EXPECT_EQ(txt.at("pv"), "1");
    EXPECT_EQ(txt.at("caps"), "0x1");
    EXPECT_EQ(txt.count("fp"), 0u);
  }

  test::WireTestClient client(pipeline->boundPort());
  expectHelloAndDecodableKeyframe(client, 320, 240, 30);

  pipeline->stopServing();
  EXPECT_TRUE(client.readUntil(bye).has_value());
  EXPECT_TRUE(client.waitClosed());
  // Stopping twice is harmless, and a stopped pipeline does not start again.
  pipeline->stopServing();
  EXPECT_FALSE(pipeline->startServing());
}

TEST(M2PipelineIntegration, AZoomViewportIsAnnouncedAndFollowedByAKeyframeOfTheCrop) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  auto pipeline = M2Pipeline::create(h.config(x.display(), true));
  ASSERT_TRUE(pipeline->startServing());
  test::WireTestClient client(pipeline->boundPort());
  expectHelloAndDecodableKeyframe(client, 320, 240, 30);

  test::RawBytes zoom;  // the top-left quarter
  for (uint16_t v : {uint16_t{0}, uint16_t{0}, uint16_t{32768}, uint16_t{32768}}) test::putLE16(zoom, v);
  ASSERT_TRUE(client.send(test::Code::viewport, zoom));
  const auto applied = client.readUntil(test::Code::viewportApplied);
  ASSERT_TRUE(applied.has_value());
  ASSERT_EQ(applied->payload.size(), 8u);
  const uint32_t w = applied->payload[4] | (applied->payload[5] << 8);
  EXPECT_GT(w, 30000u);
  EXPECT_LT(w, 35000u);

  // The zoomed stream starts with a keyframe at the full stream size.
  test::TestDecoder decoder(Wire::Codec::h264);
  std::optional<test::RawPacket> key;
  for (int i = 0; i < 200 && !key; ++i) {
    auto f = client.readUntil(frame);
    ASSERT_TRUE(f.has_value());
    if (f->payload[8] == 1) key = std::move(f);
  }
  ASSERT_TRUE(key.has_value());
  ASSERT_TRUE(decoder.decode(Bytes(key->payload.begin() + 12, key->payload.end())));
  EXPECT_EQ(decoder.picture()->width, 320);
  EXPECT_EQ(decoder.picture()->height, 240);
  pipeline->stopServing();
}

TEST(M2PipelineIntegration, StopDuringCaptureStartAbortsAndStopsTheLateCapture) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  auto entered = std::make_shared<OneShotEvent>();
  auto release = std::make_shared<OneShotEvent>();
  auto config = h.config(x.display(), true);
  config.beforeCaptureStart = [entered, release] {
    entered->signal();
    release->waitFor(test::kDeadlineNs);
  };
  auto pipeline = M2Pipeline::create(std::move(config));
  auto started = std::async(std::launch::async, [&] { return pipeline->startServing(); });
  ASSERT_TRUE(entered->waitFor(test::kDeadlineNs));
  auto stopped = std::async(std::launch::async, [&] { pipeline->stopServing(); });
  // The start gives up at once, although its capture is still starting.
  EXPECT_FALSE(started.get());
  release->signal();
  stopped.get();
  EXPECT_TRUE(h.log.contains("[m2] capture started after its wait gave up — stopped it again"));
  EXPECT_FALSE(h.log.contains("[m2] capturing + serving"));
}

TEST(M2PipelineIntegration, CaptureStartPastItsWaitIsATimeOutAndTheLateCaptureIsStopped) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  auto release = std::make_shared<OneShotEvent>();
  test::EventLog log;
  auto adverts = std::make_shared<Adverts>();
  M2Pipeline::Config config;
  config.mode = {320, 240, 30};
  config.port = 0;
  config.captureMain = true;
  config.desktop = std::make_shared<X11DesktopEnvironment>(x.display());
  config.captureStartWaitNs = 20'000'000;
  config.publisherFactory = [adverts](ServicePublisher::Listener) { return std::make_unique<FakePublisher>(adverts); };
  // The capture start is let go only once the pipeline has given up on it.
  config.log = [&log, release](const std::string& line) {
    log.add(line);
    if (line.find("capture did not start within 8s") != std::string::npos) release->signal();
  };
  config.beforeCaptureStart = [release] { release->waitFor(test::kDeadlineNs); };
  auto pipeline = M2Pipeline::create(std::move(config));
  EXPECT_FALSE(pipeline->startServing());
  EXPECT_EQ(log.count("capture did not start within 8s"), 1);  // a time-out is not retried
  EXPECT_TRUE(log.contains("[m2] capture started after its wait gave up — stopped it again"));
}

TEST(M2PipelineIntegration, ExtendModeCreatesTheVirtualDisplayAndRemovesItOnStop) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  auto pipeline = M2Pipeline::create(h.config(x.display(), false));
  ASSERT_TRUE(pipeline->startServing()) << (h.log.lines().empty() ? "" : h.log.lines().back());
  const uint32_t id = pipeline->virtualDisplayID();
  ASSERT_NE(id, 0u);
  EXPECT_FALSE(pipeline->captureMain());
  EXPECT_TRUE(h.log.contains("[m2] virtual display " + std::to_string(id) + " created (320x240@30)"));
  auto displays = X11DisplayConfiguration::open(x.display());
  auto active = displays->activeDisplays();
  EXPECT_NE(std::find(active.begin(), active.end(), id), active.end());

  test::WireTestClient client(pipeline->boundPort());
  expectHelloAndDecodableKeyframe(client, 320, 240, 30);

  pipeline->stopServing();
  EXPECT_TRUE(client.readUntil(bye).has_value());
  active = displays->activeDisplays();
  EXPECT_EQ(std::find(active.begin(), active.end(), id), active.end());
  EXPECT_EQ(pipeline->virtualDisplayID(), 0u);
}

TEST(M2PipelineIntegration, ExtendModeOnAServerThatCannotGrowFallsBackToMirroring) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  auto pipeline = M2Pipeline::create(h.config(x.display(), false));
  ASSERT_TRUE(pipeline->startServing());
  EXPECT_TRUE(h.log.contains(
      "[m2] WARN: virtual display create failed — falling back to main display capture (mirror)"));
  EXPECT_TRUE(pipeline->captureMain());
  EXPECT_EQ(pipeline->virtualDisplayID(), 0u);
  // Said, for the panel, and asked once only.
  EXPECT_TRUE(pipeline->extendRefused());
  EXPECT_FALSE(h.log.contains("create rejected (attempt"));
  pipeline->stopServing();
}

// Index of the first line holding `needle`, or -1.
int lineIndex(const test::EventLog& log, const std::string& needle) {
  const auto lines = log.lines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].find(needle) != std::string::npos) return static_cast<int>(i);
  }
  return -1;
}

// Sends ClientMode, then a TimeSync whose reply shows the server has handed
// the ClientMode to the pipeline (a client's packets are handled in order).
void sendClientModeAndWaitHandled(test::WireTestClient& client) {
  ASSERT_TRUE(client.readUntil(hello).has_value());
  ASSERT_TRUE(client.send(test::Code::clientMode, test::WireTestClient::clientMode(640, 480, 30)));
  test::RawBytes echo;
  test::putLE64(echo, 42);
  ASSERT_TRUE(client.send(test::Code::timeSync, echo));
  ASSERT_TRUE(client.readUntil(test::Code::timeSync).has_value());
}

struct BlockedStart {
  std::shared_ptr<OneShotEvent> entered = std::make_shared<OneShotEvent>();
  std::shared_ptr<OneShotEvent> release = std::make_shared<OneShotEvent>();
  void hold(M2Pipeline::Config& config) {
    config.beforeCaptureStart = [entered = entered, release = release] {
      entered->signal();
      release->waitFor(test::kDeadlineNs);
    };
  }
};

TEST(M2PipelineIntegration, ClientRequestsWaitUntilTheStartHasFinished) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  BlockedStart blocked;
  auto config = h.config(x.display(), true);
  blocked.hold(config);
  auto pipeline = M2Pipeline::create(std::move(config));
  auto started = std::async(std::launch::async, [&] { return pipeline->startServing(); });
  ASSERT_TRUE(blocked.entered->waitFor(test::kDeadlineNs));
  // The server is up while the capture still starts: a client gets in and asks.
  test::WireTestClient client(pipeline->boundPort());
  sendClientModeAndWaitHandled(client);
  // A correct pipeline never logs it here; a broken one would within microseconds.
  EXPECT_FALSE(test::eventually([&] { return h.log.contains("[m2] reconfiguring "); }, 300'000'000));
  blocked.release->signal();
  ASSERT_TRUE(started.get());
  ASSERT_TRUE(h.log.waitFor("[m2] reconfiguring "));
  EXPECT_LT(lineIndex(h.log, "[m2] capturing + serving"), lineIndex(h.log, "[m2] reconfiguring "));
  pipeline->stopServing();
}

TEST(M2PipelineIntegration, StopFencesRequestsThatWaitedForTheStart) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Harness h;
  BlockedStart blocked;
  auto config = h.config(x.display(), true);
  blocked.hold(config);
  auto pipeline = M2Pipeline::create(std::move(config));
  auto started = std::async(std::launch::async, [&] { return pipeline->startServing(); });
  ASSERT_TRUE(blocked.entered->waitFor(test::kDeadlineNs));
  test::WireTestClient client(pipeline->boundPort());
  sendClientModeAndWaitHandled(client);
  auto stopped = std::async(std::launch::async, [&] { pipeline->stopServing(); });
  EXPECT_FALSE(started.get());
  blocked.release->signal();
  stopped.get();
  // stopServing drained the queue before tearing down: the request was seen and dropped.
  EXPECT_FALSE(h.log.contains("[m2] reconfiguring "));
  EXPECT_TRUE(client.readUntil(bye).has_value());
}

TEST(M2PipelineIntegration, StartFailuresLeaveThePortFree) {
  Harness h;
  {
    // Busy port: the server cannot start.
    test::PortBlocker blocker;
    ASSERT_NE(blocker.port, 0);
    auto config = h.config(":987654", true);
    config.port = blocker.port;
    auto pipeline = M2Pipeline::create(std::move(config));
    EXPECT_FALSE(pipeline->startServing());
    EXPECT_TRUE(h.log.contains("[m2] ERROR: port " + std::to_string(blocker.port) +
                               " is already in use (another Lumenrail host?)"));
    // The owner is told which port and why, not "bind(98)".
    EXPECT_EQ(pipeline->startFailure(), L10n::text("failure.portInUse", std::to_string(blocker.port)));
    pipeline->stopServing();
    blocker.release();
    EXPECT_TRUE(test::PortBlocker::canListen(blocker.port));
  }
  {
    // No X display: the server was listening when the capture failed.
    uint16_t port;
    {
      test::PortBlocker pick;
      port = pick.port;
    }
    auto config = h.config(":987654", true);
    config.port = port;
    auto pipeline = M2Pipeline::create(std::move(config));
    EXPECT_FALSE(pipeline->startServing());
    EXPECT_TRUE(h.log.contains("[m2] capture start failed"));
    EXPECT_TRUE(test::PortBlocker::canListen(port));
  }
}

TEST(M2Pipeline, RefusesModesTheWireCannotCarry) {
  M2Pipeline::Config config;
  config.mode = {int64_t{1} << 40, 240, 30};
  EXPECT_THROW(M2Pipeline::create(config), std::invalid_argument);
  config.mode = {320, 240, 0};
  EXPECT_THROW(M2Pipeline::create(config), std::invalid_argument);
}

TEST(M2Pipeline, LabelsAndHello) {
  EXPECT_EQ(M2Pipeline::label({1920, 1080, 60}), "1920x1080@60");
  const auto h = M2Pipeline::hello({1280, 720, 30}, Wire::Codec::hevc);
  EXPECT_EQ(h, (Wire::HelloParams{Wire::Codec::hevc, 1280, 720, 30, 1, 12'000'000, 1'000'000'000}));
}

// ---- the built program ----------------------------------------------------

// The program with DISPLAY set for it alone.
struct Child : test::HostProcess {
  Child(const std::vector<std::string>& args, const std::string& display, std::vector<std::string> env = {})
      : HostProcess(LUMENRAILHOST_BINARY, args, withDisplay(std::move(env), display)),
        pid(started() ? HostProcess::pid() : -1),
        output(HostProcess::output()) {}
  static std::vector<std::string> withDisplay(std::vector<std::string> env, const std::string& display) {
    env.push_back("DISPLAY=" + display);
    return env;
  }
  const pid_t pid;
  const std::string& output;

  // The port of the "capturing + serving ... on :<port>" line.
  uint16_t servingPort() const {
    const size_t line = output.find("[m2] capturing + serving");
    const size_t at = line == std::string::npos ? line : output.find(" on :", line);
    return at == std::string::npos ? 0 : static_cast<uint16_t>(std::stoul(output.substr(at + 5)));
  }
};

TEST(M2ServeAcceptance, ServesAPrivateXvfbAndEndsWithStatusZeroOnSigterm) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Child child({"--m2", "--capture-main", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"},
              x.display());
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(child.waitFor("[m2] capturing + serving 320x240@30")) << child.output;
  EXPECT_NE(child.output.find("== lumenrail Linux host — M2 capture serve =="), std::string::npos);
  EXPECT_EQ(child.terminate(), 0) << child.output;
  EXPECT_NE(child.output.find("[m2] SIGTERM — stopping"), std::string::npos) << child.output;
}

TEST(M2ServeAcceptance, ExtendModeRemovesItsVirtualDisplayOnSigtermAndOnSighup) {
  test::DummyXorgServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  auto displays = X11DisplayConfiguration::open(x.display());
  const auto before = displays->activeDisplays();
  // SIGHUP is what a closed terminal sends.
  for (const auto& [signal, line] : {std::pair{SIGTERM, "[m2] SIGTERM — stopping"}, {SIGHUP, "[m2] SIGHUP — stopping"}}) {
    Child child({"--m2", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"}, x.display());
    ASSERT_GT(child.pid, 0);
    ASSERT_TRUE(child.waitFor("[m2] capturing + serving 320x240@30")) << child.output;
    EXPECT_NE(child.output.find("created (320x240@30)"), std::string::npos) << child.output;
    EXPECT_EQ(displays->activeDisplays().size(), before.size() + 1);
    ::kill(child.pid, signal);
    EXPECT_EQ(child.waitExit(), 0) << child.output;
    EXPECT_NE(child.output.find(line), std::string::npos) << child.output;
    EXPECT_EQ(displays->activeDisplays(), before) << line;
  }
}

TEST(M2ServeAcceptance, ExitsTwoWhenServingCannotStart) {
  // A display it reaches but cannot capture (16 bits a pixel): capture cannot start.
  test::PrivateXServer x(test::PrivateXServer::Options{320, 240, 16});
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  Child child({"--m2", "--capture-main", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"},
              x.display());
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(child.waitExit(), 2) << child.output;
  EXPECT_NE(child.output.find("[m2] capture start failed"), std::string::npos) << child.output;
}

TEST(M2ServeAcceptance, ABusyPortExitsTwoAndLeavesThePortFree) {
  test::PortBlocker blocker;
  ASSERT_NE(blocker.port, 0);
  Child child({"--m2", "--capture-main", "--port", std::to_string(blocker.port), "--width", "320", "--height", "240",
               "--fps", "30"},
              ":987654");
  ASSERT_GT(child.pid, 0);
  EXPECT_EQ(child.waitExit(), 2) << child.output;
  EXPECT_NE(child.output.find("[m2] ERROR: "), std::string::npos) << child.output;
  EXPECT_EQ(child.output.find("[m2] capturing + serving"), std::string::npos) << child.output;
  blocker.release();
  EXPECT_TRUE(test::PortBlocker::canListen(blocker.port));
}

TEST(M2ServeAcceptance, PairANewDeviceOnTheConsoleThenServeItSealed) {
  test::PrivateXServer x;
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::TempPairingFolder home("lumenrail-m2-pair");
  const std::string root = home.root().string();
  Child child({"--m2", "--pair", "--capture-main", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"},
              x.display(), {"HOME=" + root, "XDG_DATA_HOME=" + root});
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(child.waitFor("Ctrl-C to stop")) << child.output;
  EXPECT_NE(child.output.find("[pair] host identity "), std::string::npos) << child.output;
  const uint16_t port = child.servingPort();
  ASSERT_NE(port, 0) << child.output;

  // Without the handshake a network client is turned away.
  test::WireTestClient plain(port);
  ASSERT_TRUE(plain.send(test::Code::clientCaps, test::WireTestClient::clientCaps(0)));
  EXPECT_TRUE(plain.waitClosed());
  ASSERT_TRUE(child.waitFor("--pair requires the pairing handshake")) << child.output;

  test::PairingClient device(port, "Studio Pad");
  const auto sas = device.exchangeKeys();
  ASSERT_TRUE(sas);
  ASSERT_TRUE(device.confirm(true));
  ASSERT_TRUE(child.waitFor("Allow? [y/N] ")) << child.output;
  EXPECT_NE(child.output.find("[pair] NEW DEVICE Studio Pad (" + device.fingerprint() + ") — code " +
                              sas->substr(0, 3) + " " + sas->substr(3)),
            std::string::npos)
      << child.output;
  child.type("y\n");
  device.keyPaired();
  auto greeting = device.readSealed();
  ASSERT_TRUE(greeting) << child.output;
  EXPECT_EQ(greeting->type, hello);
  EXPECT_EQ(test::le32(greeting->payload, 4), 320u);
  EXPECT_TRUE(std::filesystem::exists(home.root() / "LumenrailHost" / "paired-devices.json"));
  device.close();
  EXPECT_EQ(child.terminate(), 0) << child.output;
}

// BT.709 full range, the conversion the capture applies to the screen.
struct Yuv {
  double y, u, v;
};
Yuv bt709Full(uint32_t rgb) {
  const double r = (rgb >> 16) & 0xFF, g = (rgb >> 8) & 0xFF, b = rgb & 0xFF;
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  return {y, 128 + (b - y) / 1.8556, 128 + (r - y) / 1.5748};
}

double meanOf(const uint8_t* plane, int stride, int cx, int cy, int half) {
  double sum = 0;
  for (int y = cy - half; y < cy + half; ++y) {
    for (int x = cx - half; x < cx + half; ++x) sum += plane[y * stride + x];
  }
  return sum / (4.0 * half * half);
}

// The four quadrants of a 320x240 picture, sampled away from their edges and
// from the pointer in the middle of the screen.
void expectQuadrants(const AVFrame* picture, const std::array<uint32_t, 4>& colours, const char* what) {
  ASSERT_EQ(picture->width, 320);
  ASSERT_EQ(picture->height, 240);
  ASSERT_TRUE(picture->format == AV_PIX_FMT_YUV420P || picture->format == AV_PIX_FMT_YUVJ420P) << picture->format;
  for (int q = 0; q < 4; ++q) {
    const int cx = (q % 2) * 160 + 80, cy = (q / 2) * 120 + 60;
    const Yuv want = bt709Full(colours[size_t(q)]);
    EXPECT_NEAR(meanOf(picture->data[0], picture->linesize[0], cx, cy, 16), want.y, 8) << what << " Y, quadrant " << q;
    EXPECT_NEAR(meanOf(picture->data[1], picture->linesize[1], cx / 2, cy / 2, 8), want.u, 8)
        << what << " Cb, quadrant " << q;
    EXPECT_NEAR(meanOf(picture->data[2], picture->linesize[2], cx / 2, cy / 2, 8), want.v, 8)
        << what << " Cr, quadrant " << q;
  }
}

TEST(M2ServeAcceptance, StreamsThePaintedScreenAndAnswersRequestIdrWithAKeyframe) {
  test::PrivateXServer x({640, 480, 24});
  if (!x.running()) GTEST_SKIP() << x.whyNot();
  test::RootPainter painter(x.display());
  ASSERT_TRUE(painter.ok());
  const std::array<uint32_t, 4> colours{0xC03020, 0x20A040, 0x3040C0, 0xE0E0E0};
  for (int q = 0; q < 4; ++q) {
    painter.fillRect(colours[size_t(q)], int16_t((q % 2) * 320), int16_t((q / 2) * 240), 320, 240);
  }
  Child child({"--m2", "--capture-main", "--port", "0", "--width", "320", "--height", "240", "--fps", "30"},
              x.display());
  ASSERT_GT(child.pid, 0);
  ASSERT_TRUE(child.waitFor("Ctrl-C to stop")) << child.output;
  const uint16_t port = child.servingPort();
  ASSERT_NE(port, 0) << child.output;

  test::WireTestClient client(port);
  ASSERT_TRUE(client.readUntil(hello).has_value());
  test::TestDecoder decoder(Wire::Codec::h264);
  ASSERT_TRUE(decoder.ready());
  int64_t index = 0;
  int64_t lastKey = -1;
  // The next frame, decoded once a keyframe has started the picture.
  auto nextFrame = [&]() -> bool {
    auto f = client.readUntil(frame);
    if (!f || f->payload.size() <= 12) return false;
    if (f->payload[8] == 1) lastKey = index;
    ++index;
    if (lastKey < 0) return true;
    return decoder.decode(Bytes(f->payload.begin() + 12, f->payload.end()));
  };
  while (lastKey < 0 && index < 200) ASSERT_TRUE(nextFrame());
  ASSERT_EQ(lastKey, index - 1) << "no keyframe";
  expectQuadrants(decoder.picture(), colours, "first keyframe");

  // Asked right after a keyframe, the answer must come long before the
  // regular keyframe (one second of frames away).
  const int64_t askedAt = index;
  ASSERT_TRUE(client.send(test::Code::requestIdr, {2, 0, 0, 0}));
  while (lastKey < askedAt && index < askedAt + 15) ASSERT_TRUE(nextFrame());
  EXPECT_GE(lastKey, askedAt) << "no keyframe within 15 frames of RequestIdr";
  expectQuadrants(decoder.picture(), colours, "requested keyframe");
  EXPECT_NE(child.output.find("[m2] capturing + serving"), std::string::npos);
  EXPECT_EQ(child.terminate(), 0) << child.output;
}

}  // namespace
}  // namespace lumenrail
