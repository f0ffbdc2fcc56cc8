// Paint to wire: on a private Xvfb of the stream's size, a client fills a
// rectangle, and the figure is the time from sending that request to the
// last byte, on a loopback wire client, of the first frame that shows it.
// The path is the serving session's: ScreenCaptureSource (waiting on DAMAGE,
// MIT-SHM grab, cursor drawn in), CaptureServePump at 60 fps with its 10 Hz
// idle re-emit, VideoToolboxEncoder at the session's settings and WireServer.
// Paints come at random gaps of 8 to 50 ms, so they land at every phase of
// the frame interval, as strokes and clicks do. Reports p50 and p99 of the
// whole path and of its legs: paint to copied frame, the wait in the pump,
// and encode plus send.

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchWireLoop.hpp"
#include "BenchXServer.hpp"
#include "desktop/x11/ScreenCaptureSource.hpp"
#include "media/CaptureServePump.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "platform/CReply.hpp"
#include "platform/Clock.hpp"
#include "wire/WireServer.hpp"

namespace {

using namespace lumenrail;

constexpr int kSlot = 160;  // side of a painted square
constexpr int kColumns = 4;
constexpr int kRows = 3;

// Which paint the encoder is looking for, and the first frame it saw showing it.
struct Watch {
  std::mutex mutex;
  std::condition_variable cv;
  int64_t seq = -1;
  int32_t x = 0, y = 0;  // centre of the square
  bool white = false;
  std::optional<uint64_t> captureNs;
  uint64_t encodeStartNs = 0;

  // On the pacer thread, before each encode.
  void look(const PixelBuffer& frame, uint64_t captured) {
    const uint64_t now = uptimeNs();
    std::lock_guard lock(mutex);
    if (seq < 0 || captureNs) return;
    const int luma = frame.planeData(0)[int64_t(y) * frame.bytesPerRow(0) + x];
    if (white ? luma < 235 : luma > 20) return;
    captureNs = captured;
    encodeStartNs = now;
    cv.notify_all();
  }
};

double ms(uint64_t ns) { return double(ns) / 1e6; }

void BM_PaintToWire(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  BenchXServer xServer(w, h);
  if (xServer.display().empty()) {
    state.SkipWithError(("skipped, no private X server: " + xServer.whyNot()).c_str());
    return;
  }
  xcb_connection_t* painter = xcb_connect(xServer.display().c_str(), nullptr);
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(painter)).data->root;
  const xcb_gcontext_t gc = xcb_generate_id(painter);
  const uint32_t grey[] = {0x808080, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
  xcb_create_gc(painter, gc, root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, grey);
  const xcb_rectangle_t everything{0, 0, uint16_t(w), uint16_t(h)};
  xcb_poly_fill_rectangle(painter, root, gc, 1, &everything);
  ownReply(xcb_get_input_focus_reply(painter, xcb_get_input_focus(painter), nullptr));

  VideoToolboxEncoder encoder(BenchWireLoop::encoderConfig(w, h));
  BenchWireLoop loop(w, h);
  WireServer* wire = &loop.server();
  encoder.sink = [wire](const EncodedFrame& f) { wire->broadcast(f.captureTimeNs, f.isKeyframe, f.data); };
  encoder.start();
  wire->start();

  Watch watch;
  auto pump = CaptureServePump::make(
      60, 10, false, uptimeNs, [&loop] { return loop.takeKeyframe(); },
      [&](const PixelBufferRef& buffer, uint64_t captureNs, uint64_t, bool force) {
        watch.look(*buffer, captureNs);
        try {
          encoder.encode(buffer, captureNs, force);
        } catch (const std::exception&) {
        }
      });
  ScreenCaptureSource source({.width = w, .height = h, .fps = 60, .showsCursor = true,
                              .pixelFormat = PixelFormat::nv12FullRange, .xDisplay = xServer.display()});
  source.onFrame = [&](const PixelBufferRef& buffer, uint64_t captureNs) { pump->submit(buffer, captureNs); };

  if (!loop.connect()) {
    state.SkipWithError("the loopback client did not connect");
    return;
  }
  pump->startPacer();
  source.start();

  std::mt19937 random(26);
  std::uniform_int_distribution<int> gapMs(8, 50);
  std::vector<bool> slotWhite(kColumns * kRows, false);
  std::vector<double> total, grab, pace, encodeSend;
  int64_t seq = 0;
  const int warmUp = 10;  // segment attach, converter set-up, the first keyframe
  const auto paintOnce = [&]() -> std::optional<uint64_t> {
    const int slot = int(seq % int64_t(slotWhite.size()));
    slotWhite[size_t(slot)] = !slotWhite[size_t(slot)];
    const int16_t x = int16_t(64 + (slot % kColumns) * (kSlot + 16));
    const int16_t y = int16_t(64 + (slot / kColumns) * (kSlot + 16));
    {
      std::lock_guard lock(watch.mutex);
      watch.seq = seq;
      watch.x = x + kSlot / 2;
      watch.y = y + kSlot / 2;
      watch.white = slotWhite[size_t(slot)];
      watch.captureNs.reset();
    }
    const uint32_t colour = slotWhite[size_t(slot)] ? 0xffffff : 0x000000;
    const xcb_rectangle_t square{x, y, kSlot, kSlot};
    const uint64_t t0 = uptimeNs();
    xcb_change_gc(painter, gc, XCB_GC_FOREGROUND, &colour);
    xcb_poly_fill_rectangle(painter, root, gc, 1, &square);
    xcb_flush(painter);
    ++seq;
    uint64_t captured = 0, encodeStart = 0;
    {
      std::unique_lock lock(watch.mutex);
      if (!watch.cv.wait_for(lock, std::chrono::seconds(10), [&] { return bool(watch.captureNs); })) {
        return std::nullopt;
      }
      captured = *watch.captureNs;
      encodeStart = watch.encodeStartNs;
    }
    const std::optional<uint64_t> arrived = loop.receiver().arrivalOf(captured);
    if (!arrived) return std::nullopt;
    total.push_back(ms(*arrived - t0));
    grab.push_back(ms(captured - t0));
    pace.push_back(ms(encodeStart - captured));
    encodeSend.push_back(ms(*arrived - encodeStart));
    std::this_thread::sleep_for(std::chrono::milliseconds(gapMs(random)));  // load pacing, not synchronisation
    return arrived;
  };
  for (int i = 0; i < warmUp; ++i) {
    if (!paintOnce()) {
      state.SkipWithError("a painted frame never reached the client");
      return;
    }
  }
  total.clear();
  grab.clear();
  pace.clear();
  encodeSend.clear();
  for (auto _ : state) {
    if (!paintOnce()) {
      state.SkipWithError("a painted frame never reached the client");
      break;
    }
  }
  source.stop();
  pump->stop();
  wire->stop();
  encoder.stop();
  xcb_free_gc(painter, gc);
  xcb_disconnect(painter);

  state.counters["p50_ms"] = benchPercentile(total, 0.50);
  state.counters["p99_ms"] = benchPercentile(total, 0.99);
  std::printf("paint-to-wire %dx%d@60 over %zu paints (target at 1920x1080: p50 <= 14 ms):\n", w, h, total.size());
  const std::pair<const char*, std::vector<double>*> legs[] = {
      {"total", &total}, {"grab", &grab}, {"pump", &pace}, {"encode+send", &encodeSend}};
  for (const auto& [name, values] : legs) {
    std::printf("  %-11s p50 %7.2f ms   p99 %7.2f ms\n", name, benchPercentile(*values, 0.50),
                benchPercentile(*values, 0.99));
  }
  std::fflush(stdout);
}

}  // namespace

BENCHMARK(BM_PaintToWire)->Args({1920, 1080})->Iterations(240)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PaintToWire)->Args({2732, 2048})->Iterations(160)->Unit(benchmark::kMillisecond)->UseRealTime();
