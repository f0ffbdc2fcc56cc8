// The stream on a congested link: a token bucket below the stream's rate
// between two network namespaces, the host on one end and a decoding client
// on the other. Prints the frames the client could show, its worst freeze
// (the longest time without a new clean picture), how old the frames were
// when they arrived (capture to arrival), how long after the host's line the
// client saw the degraded advisory, and how long after the stop began the
// client had its Bye or the end of the stream. Needs root for the namespaces.
//
// BM_BuiltHostOnShapedLink does the same to the built program from outside:
// `lumenrailhost --m2` serves a private Xvfb that a painter keeps changing,
// in the host's namespace, and the client asks it for 4 Mbit/s.
#include <benchmark/benchmark.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>

#include "support/HostProcess.hpp"
#include "support/NoiseStreamHost.hpp"
#include "support/ShapedLink.hpp"
#include "support/StreamWatcher.hpp"
#include "support/Waiting.hpp"
#include "support/WireTestClient.hpp"
#include "support/XServerFixture.hpp"

namespace lumenrail {
namespace {

constexpr int32_t kStreamBps = 4'000'000;
constexpr auto kRun = std::chrono::seconds(20);

double msAfter(uint64_t later, uint64_t earlier) {
  return later == 0 || earlier == 0 ? -1 : (double(later) - double(earlier)) / 1e6;
}

// One line of figures for a run whose stop began at `stopAtNs`.
void report(benchmark::State& state, const std::string& what, const test::StreamWatcher::Figures& f, int64_t sent,
            uint64_t advisedAtNs, uint64_t stopAtNs) {
  state.counters["frames_shown"] = static_cast<double>(f.decoded);
  state.counters["age_p50_ms"] = f.ageP50Ns / 1e6;
  state.counters["age_p90_ms"] = f.ageP90Ns / 1e6;
  state.counters["worst_freeze_ms"] = f.worstFreezeNs / 1e6;
  const uint64_t byeOrEnd = f.byeAtNs != 0 ? f.byeAtNs : f.endAtNs;
  const char* ending = f.byeSeen ? "Bye" : f.cleanEnd ? "clean end" : f.endAtNs ? "cut mid-packet" : "nothing";
  const std::string of = sent >= 0 ? " of " + std::to_string(sent) : std::string();
  std::printf("%s, %lld s: %lld%s frames shown, %lld undecodable, %lld losses, worst freeze %.0f ms; "
              "age p50 %.0f p90 %.0f max %.0f ms; advisory %s, %.0f ms after the host's line; stop: %s %.0f ms "
              "after it began\n",
              what.c_str(), static_cast<long long>(kRun.count()), static_cast<long long>(f.decoded), of.c_str(),
              static_cast<long long>(f.undecodable), static_cast<long long>(f.losses),
              f.worstFreezeNs / 1e6, f.ageP50Ns / 1e6, f.ageP90Ns / 1e6, f.ageMaxNs / 1e6,
              f.degradedSeen ? "degraded" : "never degraded", msAfter(f.degradedAtNs, advisedAtNs), ending,
              msAfter(byeOrEnd, stopAtNs));
}

// range(0): the link's rate in kbit/s; range(1): 1 when the client takes
// frames in chunks (as tablet clients do), so urgent packets pass between
// them; range(2): 1 for CUBIC on the host's end instead of the machine's
// congestion control. A fast client beside it is not slowed by the bucket.
void BM_StreamOnShapedLink(benchmark::State& state) {
  const int64_t linkBps = state.range(0) * 1000;
  const bool chunked = state.range(1) != 0;
  const std::string congestion = state.range(2) != 0 ? "cubic" : "";
  std::string whyNot;
  test::ShapedLink::Shape shape;
  shape.rateBitsPerSecond = linkBps;
  shape.congestion = congestion;
  auto link = test::ShapedLink::make(shape, whyNot);
  if (!link) {
    state.SkipWithError(("no shaped link here: " + whyNot).c_str());
    return;
  }
  test::StreamWatcher::Figures figures, fastFigures;
  int64_t encoded = 0;
  std::atomic<uint64_t> advisedAtNs{0};
  uint64_t stopAtNs = 0;
  for (auto _ : state) {
    test::NoiseStreamHost host({.bitrateBps = kStreamBps}, [&](const std::string& line) {
      uint64_t none = 0;
      if (line.find("ADVISORY: encode/latency degradation detected") != std::string::npos) {
        advisedAtNs.compare_exchange_strong(none, test::StreamWatcher::monotonicNs());
      }
    });
    link->onHostSide([&] { host.start(); });
    test::StreamWatcher client(link->connectClient(host.port()), chunked);
    test::StreamWatcher fast(link->connectFast(host.port()), chunked);
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the first keyframe's wait is not the congestion's
    client.restartAges();
    fast.restartAges();
    std::this_thread::sleep_for(kRun);  // the stream runs for the length of the figure
    encoded = host.framesEncoded();
    stopAtNs = test::StreamWatcher::monotonicNs();
    host.stop();
    test::eventually([&] {
      const auto f = client.figures();
      return f.byeSeen || f.endAtNs != 0;
    }, 5 * kNsPerSecond);
    figures = client.figures();
    fastFigures = fast.figures();
  }
  char what[128];
  std::snprintf(what, sizeof what, "link %.1f Mbit/s%s, stream %.1f Mbit/s 640x360@30, %s", linkBps / 1e6,
                congestion.empty() ? "" : (", " + congestion).c_str(), kStreamBps / 1e6,
                chunked ? "chunked" : "whole frames");
  report(state, what, figures, encoded, advisedAtNs.load(), stopAtNs);
  std::printf("  the fast client beside it: %lld frames shown, %lld undecodable, worst freeze %.0f ms, "
              "age p50 %.0f p90 %.0f max %.0f ms\n",
              static_cast<long long>(fastFigures.decoded), static_cast<long long>(fastFigures.undecodable),
              fastFigures.worstFreezeNs / 1e6, fastFigures.ageP50Ns / 1e6, fastFigures.ageP90Ns / 1e6,
              fastFigures.ageMaxNs / 1e6);
}
BENCHMARK(BM_StreamOnShapedLink)
    ->ArgNames({"link_kbps", "chunked", "cubic"})
    ->Args({2000, 1, 0})
    ->Args({1000, 1, 0})
    ->Args({500, 1, 0})
    ->Args({500, 0, 0})
    ->Args({2000, 1, 1})
    ->Args({500, 1, 1})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Keeps a private X server's screen changing at 30 Hz: blocks of noise in
// sixteen colours over two thirds of the screen, so the stream runs at the
// bit rate it is given.
class NoisePainter {
 public:
  NoisePainter(const std::string& display, uint16_t width, uint16_t height) : width_(width), height_(height) {
    conn_ = xcb_connect(display.c_str(), nullptr);
    thread_ = std::thread([this] { paint(); });
  }
  ~NoisePainter() {
    stopping_ = true;
    thread_.join();
    xcb_disconnect(conn_);
  }

 private:
  void paint() {
    if (xcb_connection_has_error(conn_)) return;
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(conn_)).data->root;
    std::mt19937 random(7);
    std::vector<xcb_gcontext_t> gcs(16);
    for (auto& gc : gcs) {
      gc = xcb_generate_id(conn_);
      const uint32_t values[] = {0, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
      xcb_create_gc(conn_, gc, root, XCB_GC_FOREGROUND | XCB_GC_SUBWINDOW_MODE, values);
    }
    std::vector<xcb_rectangle_t> blocks(160);
    auto due = std::chrono::steady_clock::now();
    while (!stopping_) {
      for (auto gc : gcs) {
        const uint32_t colour = random() & 0xFFFFFF;
        xcb_change_gc(conn_, gc, XCB_GC_FOREGROUND, &colour);
        for (auto& b : blocks) {
          b = {static_cast<int16_t>(random() % (width_ - 16)), static_cast<int16_t>(random() % (height_ - 16)), 16, 16};
        }
        xcb_poly_fill_rectangle(conn_, root, gc, static_cast<uint32_t>(blocks.size()), blocks.data());
      }
      free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
      due += std::chrono::milliseconds(33);
      std::this_thread::sleep_until(due);  // the screen's rate of change, not a wait for anything
    }
  }

  xcb_connection_t* conn_ = nullptr;
  const uint16_t width_, height_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

// range(0): the link's rate in kbit/s. The program is LUMENRAIL_HOST_BINARY,
// else the one built beside this benchmark; its port is LUMENRAIL_BENCH_PORT
// (27400 by default) inside the host's own namespace.
void BM_BuiltHostOnShapedLink(benchmark::State& state) {
  const int64_t linkBps = state.range(0) * 1000;
  const char* binaryEnv = std::getenv("LUMENRAIL_HOST_BINARY");
  const std::string binary = binaryEnv ? binaryEnv : LUMENRAILHOST_BINARY;
  const char* portEnv = std::getenv("LUMENRAIL_BENCH_PORT");
  const uint16_t port = static_cast<uint16_t>(portEnv ? std::atoi(portEnv) : 27400);
  std::string whyNot;
  test::ShapedLink::Shape shape;
  shape.rateBitsPerSecond = linkBps;
  auto link = test::ShapedLink::make(shape, whyNot);
  if (!link) {
    state.SkipWithError(("no shaped link here: " + whyNot).c_str());
    return;
  }
  test::PrivateXServer x({.width = 1280, .height = 720});
  if (!x.running()) {
    state.SkipWithError(("no X server: " + x.whyNot()).c_str());
    return;
  }
  test::StreamWatcher::Figures figures;
  uint64_t advisedAtNs = 0;
  uint64_t stopAtNs = 0;
  for (auto _ : state) {
    NoisePainter painter(x.display(), 1280, 720);
    std::unique_ptr<test::HostProcess> host;
    const std::vector<std::string> args = {"--m2", "--capture-main", "--port", std::to_string(port), "--width", "1280",
                                           "--height", "720", "--fps", "30"};
    const std::vector<std::string> env = {"DISPLAY=" + x.display()};
    link->onHostSide([&] { host = std::make_unique<test::HostProcess>(binary, args, env); });
    if (!host->waitFor("[m2] capturing + serving")) {
      state.SkipWithError(("the host did not serve: " + host->output()).c_str());
      return;
    }
    test::StreamWatcher client(link->connectClient(port), true);
    client.send(test::Code::encoderConfig, test::WireTestClient::encoderConfig(4, 0, 0, kStreamBps / 1000));
    std::thread advisoryLine([&] {
      if (host->waitFor("ADVISORY: encode/latency degradation detected", 10 * kNsPerSecond)) {
        advisedAtNs = test::StreamWatcher::monotonicNs();
      }
    });
    advisoryLine.join();  // within the warm-up or never
    std::this_thread::sleep_for(std::chrono::seconds(2));
    client.restartAges();
    std::this_thread::sleep_for(kRun);  // the stream runs for the length of the figure
    stopAtNs = test::StreamWatcher::monotonicNs();
    host->terminate();
    test::eventually([&] {
      const auto f = client.figures();
      return f.byeSeen || f.endAtNs != 0;
    }, 5 * kNsPerSecond);
    figures = client.figures();
  }
  char what[96];
  std::snprintf(what, sizeof what, "built host, link %.1f Mbit/s, a changing 1280x720@30 screen at %.1f Mbit/s",
                linkBps / 1e6, kStreamBps / 1e6);
  report(state, what, figures, -1, advisedAtNs, stopAtNs);
}
BENCHMARK(BM_BuiltHostOnShapedLink)
    ->ArgName("link_kbps")
    ->Arg(2000)
    ->Arg(1000)
    ->Arg(500)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace lumenrail
