// Per-frame packet work on the send path: building the frame packet once and
// cutting it into chunks for clients that reassemble.
#include <benchmark/benchmark.h>

#include "wire/Wire.hpp"

namespace {

using lumenrail::Bytes;

Bytes accessUnit(size_t size) {
  Bytes au(size);
  for (size_t i = 0; i < size; ++i) au[i] = static_cast<uint8_t>(i * 31);
  return au;
}

void BM_FramePacket(benchmark::State& state) {
  const Bytes au = accessUnit(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    Bytes p = lumenrail::Wire::frame(123456789, true, au);
    benchmark::DoNotOptimize(p.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
// Typical P-frame, keyframe at 1080p and a large keyframe at 2732x2048.
BENCHMARK(BM_FramePacket)->Arg(20'000)->Arg(250'000)->Arg(1'000'000);

void BM_FrameChunks(benchmark::State& state) {
  const Bytes payload = lumenrail::Wire::framePayload(1, true, accessUnit(static_cast<size_t>(state.range(0))));
  uint32_t id = 0;
  for (auto _ : state) {
    auto chunks = lumenrail::Wire::frameChunks(id++, payload);
    benchmark::DoNotOptimize(chunks.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FrameChunks)->Arg(20'000)->Arg(250'000)->Arg(1'000'000);

void BM_ParseInput(benchmark::State& state) {
  // A pen packet as clients send it: a few samples of one pointer.
  Bytes payload = {4, 0};
  for (int s = 0; s < 4; ++s) {
    const Bytes sample = {0x10, 0x27, 0, 0, 1, 0, 0, 0, 1, 0, 3, 0, 0, 0x80, 0, 0x40, 0, 0x20, 0, 0, 0, 0, 0, 0};
    payload.insert(payload.end(), sample.begin(), sample.end());
  }
  for (auto _ : state) {
    auto samples = lumenrail::Wire::parseInput(payload);
    benchmark::DoNotOptimize(samples);
  }
}
BENCHMARK(BM_ParseInput);

}  // namespace
