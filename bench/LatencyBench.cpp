// End-to-end latency: from the start of a screen grab to the last byte of
// that frame read by a loopback client, through the pipeline's own pieces:
// the X grab (MIT-SHM on a private Xvfb), the one copy to NV12
// (CaptureFrameCopier), the encoder (VideoToolboxEncoder at the serving
// session's settings) and the wire server. Each frame is sent alone, so the
// figures hold no queueing. Between frames a few rectangles move on the
// screen, as windows and a pointer would. Reports p50 and p99 of the whole
// path and of each leg (capture, copy, encode, send), as counters and lines.
//
// The GNOME Wayland path beside it (where the test support is built): a
// headless Mutter's virtual monitor recorded over PipeWire. Nothing can be
// grabbed there, so each frame is caused: the pointer (drawn into the
// frames) moves through the remote-desktop session, and the time runs from
// that move to the last byte at the client; its first leg holds the input
// call, Mutter's repaint, PipeWire and the copy.

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include <condition_variable>
#include <mutex>

#include "BenchWireLoop.hpp"
#include "BenchXServer.hpp"
#include "media/CaptureFrameCopier.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "platform/Clock.hpp"
#include "platform/X11Display.hpp"
#include "wire/WireServer.hpp"
#ifdef LUMENRAIL_BENCH_WAYLAND
#include "media/MutterCaptureSource.hpp"
#include "platform/MutterRemoteDesktop.hpp"
#include "support/HeadlessMutter.hpp"
#endif

namespace {

using namespace lumenrail;

BenchXServer& xServer() {
  static BenchXServer instance;
  return instance;
}

// Moves a dozen coloured rectangles over the root window, frame by frame.
class ScreenMover {
 public:
  ScreenMover(xcb_connection_t* conn, int32_t w, int32_t h) : conn_(conn), w_(w), h_(h) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data->root;
    gc_ = xcb_generate_id(conn_);
    const uint32_t values[] = {0, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(conn_, gc_, root_, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
  }
  ~ScreenMover() { xcb_free_gc(conn_, gc_); }

  void step(int64_t index) {
    for (int i = 0; i < 12; ++i) {
      const uint32_t colour = uint32_t(0x203040 + i * 0x131517 + index * 0x010203) & 0xFFFFFF;
      xcb_change_gc(conn_, gc_, XCB_GC_FOREGROUND, &colour);
      const int32_t x = int32_t((i * 211 + index * (7 + i)) % (w_ - 320));
      const int32_t y = int32_t((i * 137 + index * (3 + i)) % (h_ - 240));
      const xcb_rectangle_t r{int16_t(x), int16_t(y), 320, 240};
      xcb_poly_fill_rectangle(conn_, root_, gc_, 1, &r);
    }
    // Round trip: the drawing is on the screen before the grab.
    std::free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
  }

 private:
  xcb_connection_t* conn_;
  int32_t w_, h_;
  xcb_window_t root_ = 0;
  xcb_gcontext_t gc_ = 0;
};

double percentile(const std::vector<double>& v, double p) { return benchPercentile(v, p); }

double ms(uint64_t ns) { return double(ns) / 1e6; }

// Counters and printed lines for the legs of one run, the total first:
// p50_ms and p99_ms for the total, <leg>_p50_ms for the others.
void report(benchmark::State& state, std::initializer_list<std::pair<const char*, const std::vector<double>*>> legs) {
  for (const auto& [name, values] : legs) {
    std::string key = name;
    std::replace(key.begin(), key.end(), ' ', '_');
    if (key == "total") {
      state.counters["p50_ms"] = percentile(*values, 0.50);
      state.counters["p99_ms"] = percentile(*values, 0.99);
    } else {
      state.counters[key + "_p50_ms"] = percentile(*values, 0.50);
    }
    std::printf("  %-8s p50 %7.2f ms   p99 %7.2f ms\n", name, percentile(*values, 0.50), percentile(*values, 0.99));
  }
  std::fflush(stdout);
}

void BM_CaptureToSocket(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  if (xServer().display().empty()) {
    state.SkipWithError(("skipped, no private X server: " + xServer().whyNot()).c_str());
    return;
  }
  auto display = X11Display::open(xServer().display());
  X11ScreenGrabber grabber(display);
  ScreenMover mover(display->connection(), w, h);
  CaptureFrameCopier copier(w, h, PixelFormat::nv12FullRange, uptimeNs, [](const std::string&) {});
  VideoToolboxEncoder encoder(BenchWireLoop::encoderConfig(w, h));
  BenchWireLoop loop(w, h);
  uint64_t encodedNs = 0;
  encoder.sink = [&](const EncodedFrame& f) {
    encodedNs = uptimeNs();
    loop.server().broadcast(f.captureTimeNs, f.isKeyframe, f.data);
  };
  encoder.start();
  loop.server().start();
  if (!loop.connect()) {
    state.SkipWithError("the loopback client did not connect");
    return;
  }

  std::vector<double> total, capture, copy, encode, send;
  int64_t index = 0;
  // Segment attach, converter set-up and the first keyframe are not per-frame costs.
  for (int i = 0; i < 5; ++i) {
    mover.step(index++);
    X11Image image = grabber.grab(0, 0, w, h);
    encoder.encode(copier.copy(image.data, image.bytesPerRow, image.width, image.height), uptimeNs(), false);
  }
  for (auto _ : state) {
    state.PauseTiming();
    mover.step(index++);
    state.ResumeTiming();
    const uint64_t t0 = uptimeNs();
    X11Image image = grabber.grab(0, 0, w, h);
    const uint64_t t1 = uptimeNs();
    PixelBufferRef frame = copier.copy(image.data, image.bytesPerRow, image.width, image.height);
    const uint64_t t2 = uptimeNs();
    if (!frame) {
      state.SkipWithError("the copier dropped a frame");
      break;
    }
    encoder.encode(frame, t0, false);
    const std::optional<uint64_t> t4 = loop.receiver().arrivalOf(t0);
    if (!t4) {
      state.SkipWithError("a frame never reached the client");
      break;
    }
    total.push_back(ms(*t4 - t0));
    capture.push_back(ms(t1 - t0));
    copy.push_back(ms(t2 - t1));
    encode.push_back(ms(encodedNs - t2));
    send.push_back(ms(*t4 - encodedNs));
  }
  loop.server().stop();
  encoder.stop();

  std::printf("capture-to-socket %dx%d over %zu frames (%s):\n", w, h, total.size(),
              grabber.usingShm() ? "MIT-SHM" : "GetImage");
  report(state, {{"total", &total}, {"capture", &capture}, {"copy", &copy}, {"encode", &encode}, {"send", &send}});
}

#ifdef LUMENRAIL_BENCH_WAYLAND
void BM_CaptureToSocketWayland(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  test::HeadlessMutter desktop;
  if (!desktop.running()) {
    state.SkipWithError(("skipped, no headless GNOME desktop: " + desktop.whyNot()).c_str());
    return;
  }
  MutterCaptureSource::Config config;
  config.width = w;
  config.height = h;
  config.fps = 60;
  config.virtualMonitor = true;
  config.busAddress = desktop.busAddress();
  config.pipewireRemote = desktop.pipewireRemote();
  MutterCaptureSource source(config);
  std::mutex mutex;
  std::condition_variable arrived;
  PixelBufferRef latest;
  uint64_t latestNs = 0;
  uint64_t count = 0;
  source.onFrame = [&](const PixelBufferRef& frame, uint64_t ns) {
    std::lock_guard lock(mutex);
    latest = frame;
    latestNs = ns;
    ++count;
    arrived.notify_all();
  };
  VideoToolboxEncoder encoder(BenchWireLoop::encoderConfig(w, h));
  BenchWireLoop loop(w, h);
  uint64_t encodedNs = 0;
  encoder.sink = [&](const EncodedFrame& f) {
    encodedNs = uptimeNs();
    loop.server().broadcast(f.captureTimeNs, f.isKeyframe, f.data);
  };
  source.start();
  encoder.start();
  loop.server().start();
  if (!loop.connect()) {
    state.SkipWithError("the loopback client did not connect");
    return;
  }
  const auto session = source.session();
  int64_t index = 0;
  // Moves the pointer and returns the frame that shows it, with its capture time.
  const auto moveAndWait = [&](PixelBufferRef& frame, uint64_t& capturedNs) {
    uint64_t before = 0;
    {
      std::lock_guard lock(mutex);
      before = count;
    }
    ++index;
    session->pointerMotionAbsolute(double(100 + (index * 37) % (w - 200)), double(100 + (index * 23) % (h - 200)));
    std::unique_lock lock(mutex);
    if (!arrived.wait_for(lock, std::chrono::seconds(2), [&] { return count > before; })) return false;
    frame = latest;
    capturedNs = latestNs;
    return true;
  };
  PixelBufferRef frame;
  uint64_t capturedNs = 0;
  for (int i = 0; i < 5; ++i) {
    if (!moveAndWait(frame, capturedNs)) break;
    encoder.encode(frame, uptimeNs(), false);
  }
  std::vector<double> total, toFrame, encode, send;
  for (auto _ : state) {
    const uint64_t t0 = uptimeNs();
    if (!moveAndWait(frame, capturedNs)) {
      state.SkipWithError("a pointer move brought no frame");
      break;
    }
    encoder.encode(frame, t0, false);
    const std::optional<uint64_t> t4 = loop.receiver().arrivalOf(t0);
    if (!t4) {
      state.SkipWithError("a frame never reached the client");
      break;
    }
    total.push_back(ms(*t4 - t0));
    toFrame.push_back(ms(capturedNs - t0));
    encode.push_back(ms(encodedNs - capturedNs));
    send.push_back(ms(*t4 - encodedNs));
  }
  loop.server().stop();
  encoder.stop();
  source.stop();

  std::printf("move-to-socket on GNOME Wayland %dx%d over %zu frames (Mutter virtual monitor, PipeWire):\n", w, h,
              total.size());
  report(state, {{"total", &total}, {"to frame", &toFrame}, {"encode", &encode}, {"send", &send}});
}
#endif

}  // namespace

#ifdef LUMENRAIL_BENCH_WAYLAND
BENCHMARK(BM_CaptureToSocketWayland)->Args({1920, 1080})->Iterations(240)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
BENCHMARK(BM_CaptureToSocket)->Args({1920, 1080})->Iterations(240)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CaptureToSocket)->Args({2732, 2048})->Iterations(160)->Unit(benchmark::kMillisecond)->UseRealTime();
