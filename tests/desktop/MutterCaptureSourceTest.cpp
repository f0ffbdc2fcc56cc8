// Capture of a GNOME Wayland desktop of the test's own (headless Mutter):
// the colour of a client window is checked in the delivered pixels, for a
// virtual monitor and for the primary one; the desktop's services dying
// mid-stream end the capture as an unexpected stop; stop leaves no monitor.
#include "desktop/gnome/MutterCaptureSource.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "desktop/gnome/MutterRemoteDesktop.hpp"
#include "media/CaptureServePump.hpp"
#include "platform/DBusConnection.hpp"
#include "platform/PipeWireVideoStream.hpp"
#include "support/HeadlessMutter.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

constexpr uint32_t kColour = 0x3366cc;

// Frames and the stop notice, as the serving session would see them.
struct Receiver {
  std::mutex mutex;
  std::condition_variable cv;
  PixelBufferRef last;
  int frames = 0;
  int stops = 0;
  std::string stopText;

  void attach(MutterCaptureSource& source) {
    source.onFrame = [this](const PixelBufferRef& frame, uint64_t) {
      std::lock_guard guard(mutex);
      last = frame;
      ++frames;
      cv.notify_all();
    };
    source.onStop = [this](std::exception_ptr error) {
      std::lock_guard guard(mutex);
      ++stops;
      try {
        if (error) std::rethrow_exception(error);
      } catch (const std::exception& e) {
        stopText = e.what();
      }
      cv.notify_all();
    };
  }
  // The first frame for which `pred` holds, or null at the deadline.
  PixelBufferRef waitFrame(const std::function<bool(const PixelBuffer&)>& pred) {
    std::unique_lock lock(mutex);
    PixelBufferRef found;
    cv.wait_for(lock, std::chrono::nanoseconds(test::kDeadlineNs), [&] {
      if (last && pred(*last)) found = last;
      return found != nullptr;
    });
    return found;
  }
  int frameCount() {
    std::lock_guard guard(mutex);
    return frames;
  }
  int stopCount() {
    std::lock_guard guard(mutex);
    return stops;
  }
  bool waitStop() {
    std::unique_lock lock(mutex);
    return cv.wait_for(lock, std::chrono::nanoseconds(test::kDeadlineNs), [&] { return stops > 0; });
  }
};

// BGRA at (x, y) is the colour, as B, G, R bytes.
bool showsColour(const PixelBuffer& b, int64_t x, int64_t y, uint32_t rgb) {
  const uint8_t* p = b.planeData(0) + y * b.bytesPerRow(0) + x * 4;
  return p[0] == (rgb & 0xff) && p[1] == ((rgb >> 8) & 0xff) && p[2] == ((rgb >> 16) & 0xff) && p[3] == 0xff;
}

// Away from the middle, where the embedded pointer starts.
bool showsColourAtQuarters(const PixelBuffer& b, uint32_t rgb) {
  return showsColour(b, b.width() / 4, b.height() / 4, rgb) &&
         showsColour(b, 3 * b.width() / 4, 3 * b.height() / 4, rgb);
}

// How many BGRA pixels of the rectangle differ between two frames.
int64_t changedPixels(const PixelBuffer& a, const PixelBuffer& b, int64_t x, int64_t y, int64_t w, int64_t h) {
  int64_t n = 0;
  for (int64_t row = y; row < y + h; ++row) {
    const uint8_t* pa = a.planeData(0) + row * a.bytesPerRow(0) + x * 4;
    const uint8_t* pb = b.planeData(0) + row * b.bytesPerRow(0) + x * 4;
    for (int64_t i = 0; i < w; ++i) n += std::memcmp(pa + i * 4, pb + i * 4, 3) != 0;
  }
  return n;
}

// Mutter's monitors as "connector mode", e.g. "Meta-1 1280x720@30.000".
std::vector<std::string> monitors(const std::string& busAddress) {
  auto bus = DBusConnection::connect(busAddress);
  const DBusValue state = bus->call("org.gnome.Mutter.DisplayConfig", "/org/gnome/Mutter/DisplayConfig",
                                    "org.gnome.Mutter.DisplayConfig", "GetCurrentState");
  std::vector<std::string> out;
  for (const auto& m : state.at(1).items()) out.push_back(m.at(0).at(0).asString() + " " + m.at(1).at(0).at(0).asString());
  return out;
}

size_t monitorCount(const std::string& busAddress) { return monitors(busAddress).size(); }

int64_t threadCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}); }

MutterCaptureSource::Config configFor(const test::HeadlessMutter& desktop, int64_t w, int64_t h, bool virtualMonitor) {
  MutterCaptureSource::Config c;
  c.width = w;
  c.height = h;
  c.fps = 30;
  c.virtualMonitor = virtualMonitor;
  c.pixelFormat = PixelFormat::bgra;
  c.busAddress = desktop.busAddress();
  c.pipewireRemote = desktop.pipewireRemote();
  c.aliveCheckNs = 50 * kNsPerMs;
  return c;
}

TEST(MutterCaptureIntegration, VirtualMonitorShowsTheWindowOnItAndGoesWithStop) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  ASSERT_EQ(monitorCount(desktop.busAddress()), 1u);
  const int64_t threadsBefore = threadCount();

  MutterCaptureSource source(configFor(desktop, 1280, 720, true));
  Receiver rx;
  rx.attach(source);
  source.start();
  // The virtual monitor takes the offered size and rate and lies right of the 1920-wide one.
  ASSERT_TRUE(test::eventually([&] { return monitorCount(desktop.busAddress()) == 2; })) << desktop.logs();
  EXPECT_EQ(monitors(desktop.busAddress()).back(), "Meta-1 1280x720@30.000");
  // The pointer is drawn into the frames: moved onto the empty monitor through the session,
  // it changes the pixels by its hot spot and nowhere else.
  const PixelBufferRef empty = rx.waitFrame([](const PixelBuffer&) { return true; });
  ASSERT_NE(empty, nullptr) << desktop.logs();
  source.session()->pointerMotionAbsolute(200, 150);
  EXPECT_NE(rx.waitFrame([&](const PixelBuffer& b) {
    return changedPixels(*empty, b, 190, 140, 40, 40) >= 50 && changedPixels(*empty, b, 0, 0, 1280, 100) == 0;
  }),
            nullptr);

  test::WaylandColourClient client(desktop, kColour, 1920);
  ASSERT_EQ(client.waitForLine("ready 1280 720", test::kDeadlineNs), "ready 1280 720") << desktop.logs();

  PixelBufferRef frame = rx.waitFrame([](const PixelBuffer& b) { return showsColourAtQuarters(b, kColour); });
  ASSERT_NE(frame, nullptr) << desktop.logs();
  EXPECT_EQ(frame->width(), 1280);
  EXPECT_EQ(frame->height(), 720);
  PixelBufferRef oneShot = source.captureOneShot();
  ASSERT_NE(oneShot, nullptr);
  EXPECT_TRUE(showsColourAtQuarters(*oneShot, kColour));
  EXPECT_TRUE(source.probeContentHash().has_value());

  // A still screen sends no frames, yet the capture keeps proving it is alive.
  const uint64_t deliveries = source.deliveryCount();
  EXPECT_TRUE(test::eventually([&] { return source.deliveryCount() >= deliveries + 3; }));

  source.stop();
  const int framesAtStop = rx.frameCount();
  EXPECT_TRUE(test::eventually([&] { return monitorCount(desktop.busAddress()) == 1; }));
  EXPECT_EQ(rx.frameCount(), framesAtStop);
  EXPECT_EQ(rx.stopCount(), 0);
  EXPECT_EQ(source.session(), nullptr);
  EXPECT_EQ(threadCount(), threadsBefore);  // the D-Bus and PipeWire threads are joined
}

TEST(MutterCaptureIntegration, PrimaryMonitorIsMirroredScaledToTheStream) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  test::WaylandColourClient client(desktop, kColour, 0);
  ASSERT_EQ(client.waitForLine("ready 1920 1080", test::kDeadlineNs), "ready 1920 1080") << desktop.logs();

  MutterCaptureSource source(configFor(desktop, 960, 540, false));
  Receiver rx;
  rx.attach(source);
  source.start();
  PixelBufferRef frame = rx.waitFrame([](const PixelBuffer& b) { return showsColourAtQuarters(b, kColour); });
  ASSERT_NE(frame, nullptr) << desktop.logs();
  EXPECT_EQ(frame->width(), 960);
  EXPECT_EQ(frame->height(), 540);
  EXPECT_EQ(source.session()->connector(), "Meta-0");
  EXPECT_EQ(monitorCount(desktop.busAddress()), 1u);  // no virtual monitor for a mirror
  source.stop();
}

// Mutter sends frames only on change; the pump keeps the encoder fed from the last one
// (NV12, the serving format) while the screen is still.
TEST(MutterCaptureIntegration, StillScreenKeepsReachingTheEncoderThroughThePump) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  test::WaylandColourClient client(desktop, kColour, 0);
  ASSERT_EQ(client.waitForLine("ready 1920 1080", test::kDeadlineNs), "ready 1920 1080") << desktop.logs();

  MutterCaptureSource::Config config = configFor(desktop, 640, 360, false);
  config.pixelFormat = PixelFormat::nv12FullRange;
  MutterCaptureSource source(config);
  test::EventCounter captured, encodedColour;
  // BT.709 full-range luma of 0x3366cc: 0.2126 * 51 + 0.7152 * 102 + 0.0722 * 204.
  constexpr int kLuma = 98;
  auto pump = CaptureServePump::make(30, 10, false, uptimeNs, [] { return false; },
                                     [&](const PixelBufferRef& b, uint64_t, uint64_t, bool) {
                                       const int y = b->planeData(0)[(b->height() / 4) * b->bytesPerRow(0) + b->width() / 4];
                                       if (std::abs(y - kLuma) <= 2) encodedColour.add();
                                     });
  source.onFrame = [&](const PixelBufferRef& frame, uint64_t ns) {
    captured.add();
    pump->submit(frame, ns);
  };
  pump->startPacer();
  source.start();
  ASSERT_TRUE(encodedColour.waitFor(1)) << desktop.logs();
  const int frames = captured.count();
  const int encodes = encodedColour.count();
  ASSERT_TRUE(encodedColour.waitFor(encodes + 5));
  EXPECT_LT(captured.count() - frames, 5);  // the encodes were mostly re-emits of a still screen
  source.stop();
  pump->stop();
}

// Mutter or PipeWire dying mid-stream: the owner is told once, stop returns, nothing hangs.
TEST(MutterCaptureIntegration, ServiceDyingMidStreamIsAnUnexpectedStop) {
  for (const bool killMutter : {true, false}) {
    SCOPED_TRACE(killMutter ? "mutter killed" : "pipewire killed");
    test::HeadlessMutter desktop;
    if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
    MutterCaptureSource source(configFor(desktop, 640, 480, true));
    Receiver rx;
    rx.attach(source);
    source.start();
    ASSERT_NE(rx.waitFrame([](const PixelBuffer&) { return true; }), nullptr) << desktop.logs();
    if (killMutter) {
      desktop.killMutter();
    } else {
      desktop.killPipewire();
    }
    ASSERT_TRUE(rx.waitStop());
    source.stop();
    EXPECT_EQ(rx.stopCount(), 1);
    EXPECT_FALSE(rx.stopText.empty());
  }
}

// A Mutter that stops answering: a running capture stops counting deliveries
// and its content probe gives no answer (its last picture is no sign of a
// still screen), input is dropped instead of waiting behind it, a start fails
// by its deadline leaving nothing running; once Mutter goes on, all answer again.
TEST(MutterCaptureIntegration, HungMutterIsNotMistakenForAStillScreen) {
  test::HeadlessMutter desktop;
  if (!desktop.running()) GTEST_SKIP() << desktop.whyNot();
  MutterCaptureSource::Config config = configFor(desktop, 640, 480, true);
  config.callTimeoutNs = 300 * kNsPerMs;
  config.probeAnswerNs = 300 * kNsPerMs;

  MutterCaptureSource running(config);
  Receiver rx;
  rx.attach(running);
  running.start();
  ASSERT_NE(rx.waitFrame([](const PixelBuffer&) { return true; }), nullptr) << desktop.logs();
  uint64_t before = running.deliveryCount();
  ASSERT_TRUE(test::eventually([&] { return running.deliveryCount() >= before + 3; }));  // still, and alive
  ASSERT_TRUE(running.probeContentHash().has_value());
  const auto session = running.session();
  desktop.pauseMutter();
  before = running.deliveryCount();
  // One answer may already be on its way; more would mean the hang went unseen.
  EXPECT_FALSE(test::eventually([&] { return running.deliveryCount() >= before + 3; }, 40 * config.aliveCheckNs));
  EXPECT_FALSE(running.probeContentHash().has_value()) << "a hung Mutter passed for a still screen";
  EXPECT_TRUE(running.unresponsive());
  // The pen does not queue behind it: once a call ran out of time, the next move is not sent.
  std::vector<std::string> errors;
  for (int i = 0; i < 2; ++i) {
    try {
      session->pointerMotionAbsolute(10 + i, 10);
      errors.push_back("reached a stopped Mutter");
    } catch (const DBusError& e) {
      errors.push_back(e.timedOut ? "timed out" : e.name);
    }
  }
  EXPECT_TRUE(errors[0] == "timed out" || errors[0] == MutterRemoteDesktop::kNotAnswering) << errors[0];
  EXPECT_EQ(errors[1], MutterRemoteDesktop::kNotAnswering);

  MutterCaptureSource starting(config);
  try {
    starting.start();
    FAIL() << "started against a stopped Mutter";
  } catch (const DBusError& e) {
    // Only a Mutter still paused tells anything about the deadline.
    const std::string mutter = desktop.mutterStatus();
    if (!e.timedOut && mutter != "stopped") GTEST_SKIP() << "mutter left its pause (" << mutter << "): " << e.what();
    EXPECT_TRUE(e.timedOut) << e.what() << "\n" << desktop.logs();
  }
  EXPECT_EQ(starting.session(), nullptr);

  desktop.continueMutter();
  EXPECT_TRUE(test::eventually([&] { return running.probeContentHash().has_value(); })) << desktop.logs();
  EXPECT_FALSE(running.unresponsive());
  before = running.deliveryCount();
  EXPECT_TRUE(test::eventually([&] { return running.deliveryCount() >= before + 3; }));
  running.stop();
}

}  // namespace
}  // namespace lumenrail
