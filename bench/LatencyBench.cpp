// End-to-end latency of the serving session itself: an M2Pipeline, built and
// started as the host builds it, mirrors a private desktop, and a loopback
// wire client reads every frame to its last byte. Every object and thread on
// the way is the session's own: the capture thread and its copier, the pump
// and its pacer, the lane encoders, the wire server's fan-out and writer.
// SessionTimeline notes when each frame changes hands, so the figures come
// per leg: on X11 from the MIT-SHM grab request (grab, copy, pump, encode,
// send), on GNOME Wayland from the PipeWire buffer's arrival (copy, pump,
// encode, send). The desktop changes at 60 Hz meanwhile, as a video or a
// dragged window would: on X11 a dozen rectangles move, on GNOME the pointer
// (drawn into the frames) moves through Mutter's remote-desktop session.
//
// Beside each run, raw libx264 with the session's settings encodes frames the
// session encoded (kept while it warmed up): the machine's limit for the
// encode leg.

#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BenchFrameReceiver.hpp"
#include "BenchXServer.hpp"
#include "RawX264Picture.hpp"
#include "SessionTimeline.hpp"
#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "links/ServicePublisher.hpp"
#include "media/H264Parameters.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "session/LaneEncoders.hpp"
#include "session/M2Pipeline.hpp"
#ifdef LUMENRAIL_BENCH_WAYLAND
#include "desktop/gnome/GnomeDesktopEnvironment.hpp"
#include "support/HeadlessMutter.hpp"
#endif

namespace {

using namespace lumenrail;
using bench::FrameTimes;
using bench::Timeline;

constexpr int kFps = 60;
constexpr int kWarmUpFrames = 60;  // first keyframe, pool and segment set-up; kept for raw x264

double ms(uint64_t ns) { return double(ns) / 1e6; }

// Counters and printed lines for the legs of one run, the total first:
// p50_ms and p99_ms for the total, <leg>_p50_ms for the others.
void report(benchmark::State& state, std::initializer_list<std::pair<const char*, const std::vector<double>*>> legs) {
  for (const auto& [name, values] : legs) {
    std::string key = name;
    std::replace(key.begin(), key.end(), ' ', '_');
    if (key == "total") {
      state.counters["p50_ms"] = benchPercentile(*values, 0.50);
      state.counters["p99_ms"] = benchPercentile(*values, 0.99);
    } else {
      state.counters[key + "_p50_ms"] = benchPercentile(*values, 0.50);
    }
    std::printf("  %-9s p50 %7.2f ms   p99 %7.2f ms\n", name, benchPercentile(*values, 0.50),
                benchPercentile(*values, 0.99));
  }
  std::fflush(stdout);
}

class QuietPublisher final : public ServicePublisher {
 public:
  void publish(const std::string&, const std::string&, const std::string&, uint16_t, const TxtRecord&) override {}
  void updateTxt(const TxtRecord&) override {}
  void stop() override {}
};

// Moves a dozen coloured rectangles over the root window, frame by frame.
class ScreenMover {
 public:
  ScreenMover(const std::string& display, int32_t w, int32_t h) : conn_(xcb_connect(display.c_str(), nullptr)), w_(w), h_(h) {
    root_ = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data->root;
    gc_ = xcb_generate_id(conn_);
    const uint32_t values[] = {0, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
    xcb_create_gc(conn_, gc_, root_, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
  }
  ~ScreenMover() {
    xcb_free_gc(conn_, gc_);
    xcb_disconnect(conn_);
  }
  ScreenMover(const ScreenMover&) = delete;
  ScreenMover& operator=(const ScreenMover&) = delete;

  void step(int64_t index) {
    for (int i = 0; i < 12; ++i) {
      const uint32_t colour = uint32_t(0x203040 + i * 0x131517 + index * 0x010203) & 0xFFFFFF;
      xcb_change_gc(conn_, gc_, XCB_GC_FOREGROUND, &colour);
      const int32_t x = int32_t((i * 211 + index * (7 + i)) % (w_ - 320));
      const int32_t y = int32_t((i * 137 + index * (3 + i)) % (h_ - 240));
      const xcb_rectangle_t r{int16_t(x), int16_t(y), 320, 240};
      xcb_poly_fill_rectangle(conn_, root_, gc_, 1, &r);
    }
    xcb_flush(conn_);
  }

 private:
  xcb_connection_t* conn_;
  int32_t w_, h_;
  xcb_window_t root_ = 0;
  xcb_gcontext_t gc_ = 0;
};

// Calls `change` at the stream's rate on a thread of its own until destroyed.
class DesktopChanger {
 public:
  explicit DesktopChanger(std::function<void(int64_t)> change)
      : thread_([this, change = std::move(change)] {
          auto next = std::chrono::steady_clock::now();
          for (int64_t i = 0; !stop_.load(); ++i) {
            change(i);
            next += std::chrono::microseconds(1'000'000 / kFps);
            std::this_thread::sleep_until(next);  // the load's own rate, not a synchronisation
          }
        }) {}
  ~DesktopChanger() {
    stop_ = true;
    thread_.join();
  }
  DesktopChanger(const DesktopChanger&) = delete;
  DesktopChanger& operator=(const DesktopChanger&) = delete;

 private:
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The serving session on `desktop`, mirroring its main display at w x h @ 60.
struct Session {
  std::shared_ptr<Timeline> timeline = std::make_shared<Timeline>();
  std::shared_ptr<M2Pipeline> pipeline;
  std::optional<BenchFrameReceiver> client;
  std::mutex logMutex;
  std::string lastLog;

  // Empty when serving and connected; otherwise why not.
  std::string start(std::shared_ptr<DesktopEnvironment> desktop, int32_t w, int32_t h) {
    M2Pipeline::Config c;
    c.mode = {w, h, kFps};
    c.port = 0;
    c.captureMain = true;
    c.desktop = std::make_shared<bench::TimedDesktop>(std::move(desktop), timeline);
    c.log = [this](const std::string& line) {
      std::lock_guard lock(logMutex);
      lastLog = line;
    };
    c.publisherFactory = [](ServicePublisher::Listener) { return std::make_unique<QuietPublisher>(); };
    pipeline = M2Pipeline::create(std::move(c));
    timeline->keepFrames(kWarmUpFrames);
    if (!pipeline->startServing()) {
      std::lock_guard lock(logMutex);
      return "the session did not start: " + lastLog;
    }
    client.emplace(pipeline->boundPort());
    if (!client->connected()) return "the loopback client did not connect";
    return {};
  }
  ~Session() {
    if (pipeline) pipeline->stopServing();
    client.reset();
  }
};

struct Legs {
  std::vector<double> total, grab, copy, pump, encode, send;
};

// The next frame the client read whole that came from a grab (re-emits of a
// still screen and seeded screenshots have none), from frame `next` on.
std::optional<std::pair<FrameTimes, uint64_t>> nextCapturedFrame(Session& s, size_t& next) {
  for (int misses = 0; misses < 600; ++misses) {
    const auto arrival = s.client->nth(next++);
    if (!arrival) return std::nullopt;
    if (auto t = s.timeline->frame(arrival->ticks); t && t->encodeNs != 0 && t->encodedNs != 0) {
      return std::pair{*t, arrival->ns};
    }
  }
  return std::nullopt;
}

// Measures one frame per iteration, after the warm-up; false (and the state
// marked) when frames stopped coming.
bool measure(benchmark::State& state, Session& s, Legs& legs) {
  size_t next = 0;
  for (int i = 0; i < kWarmUpFrames; ++i) {
    if (!nextCapturedFrame(s, next)) {
      state.SkipWithError("no frames reached the client");
      return false;
    }
  }
  for (auto _ : state) {
    const auto frame = nextCapturedFrame(s, next);
    if (!frame) {
      state.SkipWithError("frames stopped reaching the client");
      return false;
    }
    const FrameTimes& t = frame->first;
    legs.total.push_back(ms(frame->second - t.grabNs));
    legs.grab.push_back(ms(t.grabbedNs - t.grabNs));
    legs.copy.push_back(ms(t.capturedNs - t.grabbedNs));
    legs.pump.push_back(ms(t.encodeNs - t.capturedNs));
    legs.encode.push_back(ms(t.encodedNs - t.encodeNs));
    legs.send.push_back(ms(frame->second - t.encodedNs));
  }
  return true;
}

// Raw libx264 opened exactly as the session's encoder opens it, on the
// frames the session encoded; per-frame encode times after the first.
void printRawX264(benchmark::State& state, const std::vector<PixelBufferRef>& frames, int32_t w, int32_t h) {
  const int64_t bps = LaneEncoders::kBitrateBps;
  const int64_t capKbps = (bps + bps / 5 + 999) / 1000;  // the wire's 1.2 times the rate in any second
  x264_param_t param;
  x264_t* x264 = nullptr;
  if (h264Parameters(param, w, h, kFps, CodecRate{VideoToolboxEncoder::kDefaultQuality, capKbps, capKbps})) {
    x264 = x264_encoder_open(&param);
  }
  if (x264 == nullptr || frames.size() < 2) {
    std::printf("  raw x264  not measured (%s)\n", x264 ? "no frames kept" : "the library refused the settings");
    if (x264) x264_encoder_close(x264);
    return;
  }
  std::vector<double> encode;
  for (size_t i = 0; i < frames.size(); ++i) {
    x264_picture_t in = rawX264Picture(frames[i], int64_t(i), i == 0);
    x264_picture_t out;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const uint64_t t0 = uptimeNs();
    x264_encoder_encode(x264, &nals, &count, &in, &out);
    if (i > 0) encode.push_back(ms(uptimeNs() - t0));
  }
  x264_encoder_close(x264);
  state.counters["raw_x264_p50_ms"] = benchPercentile(encode, 0.50);
  std::printf("  raw x264  p50 %7.2f ms   p99 %7.2f ms   (same settings, %zu of the session's frames)\n",
              benchPercentile(encode, 0.50), benchPercentile(encode, 0.99), encode.size());
  std::fflush(stdout);
}

void BM_SessionX11(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  // The desktop may be larger than the stream: the session fits it in.
  const int32_t sw = int32_t(state.range(2)), sh = int32_t(state.range(3));
  BenchXServer x(sw, sh);
  if (x.display().empty()) {
    state.SkipWithError(("skipped, no private X server: " + x.whyNot()).c_str());
    return;
  }
  ScreenMover mover(x.display(), sw, sh);
  DesktopChanger changer([&](int64_t i) { mover.step(i); });
  Legs legs;
  std::vector<PixelBufferRef> kept;
  {
    Session s;
    if (const std::string why = s.start(std::make_shared<X11DesktopEnvironment>(x.display()), w, h); !why.empty()) {
      state.SkipWithError(why.c_str());
      return;
    }
    if (!measure(state, s, legs)) return;
    kept = s.timeline->keptFrames();
  }
  std::printf("session on X11 %dx%d@%d from a %dx%d desktop, grab to last byte over %zu frames (M2Pipeline, private "
              "Xvfb, MIT-SHM):\n",
              w, h, kFps, sw, sh, legs.total.size());
  report(state, {{"total", &legs.total},
                 {"grab", &legs.grab},
                 {"copy", &legs.copy},
                 {"pump", &legs.pump},
                 {"encode", &legs.encode},
                 {"send", &legs.send}});
  printRawX264(state, kept, w, h);
}

#ifdef LUMENRAIL_BENCH_WAYLAND
void BM_SessionGnome(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  test::HeadlessMutter desktop(w, h);
  if (!desktop.running()) {
    std::printf("session on GNOME Wayland skipped: %s\n", desktop.whyNot().c_str());
    state.SkipWithError(("skipped, no headless GNOME desktop: " + desktop.whyNot()).c_str());
    return;
  }
  auto gnome = std::make_shared<GnomeDesktopEnvironment>(
      GnomeDesktopEnvironment::Config{desktop.busAddress(), desktop.pipewireRemote()});
  Legs legs;
  std::vector<PixelBufferRef> kept;
  {
    Session s;
    if (const std::string why = s.start(gnome, w, h); !why.empty()) {
      std::printf("session on GNOME Wayland skipped: %s\n", why.c_str());
      state.SkipWithError(why.c_str());
      return;
    }
    // The pointer moves through the remote-desktop session of the stream itself.
    const auto pointer = gnome->makeInputSink({});
    if (!pointer) {
      state.SkipWithError("no input on the GNOME session to change the picture with");
      return;
    }
    DesktopChanger changer([&](int64_t i) {
      InputEvent move;
      move.type = EventType::mouseMoved;
      move.location = {double(100 + (i * 37) % (w - 200)), double(100 + (i * 23) % (h - 200))};
      pointer->post(move);
    });
    if (!measure(state, s, legs)) return;
    kept = s.timeline->keptFrames();
  }
  std::printf("session on GNOME Wayland %dx%d@%d, PipeWire buffer to last byte over %zu frames (M2Pipeline, headless "
              "Mutter):\n",
              w, h, kFps, legs.total.size());
  report(state,
         {{"total", &legs.total}, {"copy", &legs.copy}, {"pump", &legs.pump}, {"encode", &legs.encode}, {"send", &legs.send}});
  printRawX264(state, kept, w, h);
}
#endif

}  // namespace

#ifdef LUMENRAIL_BENCH_WAYLAND
BENCHMARK(BM_SessionGnome)->Args({1920, 1080})->Iterations(240)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif
// Stream width and height, then the desktop's.
BENCHMARK(BM_SessionX11)->Args({1920, 1080, 1920, 1080})->Iterations(240)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SessionX11)->Args({1920, 1080, 2560, 1440})->Iterations(240)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SessionX11)->Args({2732, 2048, 2732, 2048})->Iterations(160)->Unit(benchmark::kMillisecond)->UseRealTime();
