// The stream on a congested link: a token bucket at half the stream's rate
// between two network namespaces, the host on one end and a decoding client
// on the other. Prints the frames the client could show and its worst freeze
// (the longest time without a new clean picture). Needs root for the namespaces.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "support/NoiseStreamHost.hpp"
#include "support/ShapedLink.hpp"
#include "support/StreamWatcher.hpp"

namespace lumenrail {
namespace {

constexpr int32_t kStreamBps = 4'000'000;
constexpr auto kRun = std::chrono::seconds(20);

void BM_StreamOnLinkAtHalfItsRate(benchmark::State& state) {
  std::string whyNot;
  auto link = test::ShapedLink::make({.rateBitsPerSecond = kStreamBps / 2}, whyNot);
  if (!link) {
    state.SkipWithError(("no shaped link here: " + whyNot).c_str());
    return;
  }
  test::StreamWatcher::Figures figures;
  int64_t encoded = 0;
  for (auto _ : state) {
    test::NoiseStreamHost host({.bitrateBps = kStreamBps}, {});
    link->onHostSide([&] { host.start(); });
    test::StreamWatcher client(link->connectClient(host.port()));
    std::this_thread::sleep_for(kRun);  // the stream runs for the length of the figure
    figures = client.figures();
    encoded = host.framesEncoded();
  }
  state.counters["frames_sent"] = static_cast<double>(encoded);
  state.counters["frames_shown"] = static_cast<double>(figures.decoded);
  state.counters["undecodable"] = static_cast<double>(figures.undecodable);
  state.counters["worst_freeze_ms"] = figures.worstFreezeNs / 1e6;
  std::printf("shaped link %.1f Mbit/s, stream %.1f Mbit/s 640x360@30 for %lld s: %lld of %lld frames shown, "
              "%lld undecodable, %lld losses, worst freeze %.0f ms, advisory %s\n",
              kStreamBps / 2e6, kStreamBps / 1e6, static_cast<long long>(kRun.count()),
              static_cast<long long>(figures.decoded), static_cast<long long>(encoded),
              static_cast<long long>(figures.undecodable), static_cast<long long>(figures.losses),
              figures.worstFreezeNs / 1e6, figures.degradedSeen ? "degraded" : "never degraded");
}
BENCHMARK(BM_StreamOnLinkAtHalfItsRate)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace lumenrail
