// Encode time per frame at the two stream sizes, for the encoder's own
// settings (H.264 Main and HEVC Main, zero latency) and, for reference, the
// H.264 library's fastest preset as it comes (Baseline, no CABAC). Each
// iteration encodes one frame of a moving pattern; mean and p95 are reported.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "media/PixelBuffer.hpp"
#include "media/VideoToolboxEncoder.hpp"

extern "C" {
#include <x264.h>
}

namespace lumenrail {
namespace {

PixelBufferRef pattern(int w, int h, int index) {
  auto b = PixelBuffer::make(PixelFormat::nv12FullRange, w, h);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b->planeData(0) + y * b->bytesPerRow(0);
    for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(((x + 4 * index) ^ (y + index)) & 0xff);
  }
  for (int y = 0; y < (h + 1) / 2; ++y) {
    uint8_t* row = b->planeData(1) + y * b->bytesPerRow(1);
    for (int x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(128 + ((x + y + index) & 31));
  }
  return b;
}

double p95(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, v.size() * 95 / 100)];
}

void report(benchmark::State& state, const std::vector<double>& ms) {
  double sum = 0;
  for (double m : ms) sum += m;
  state.counters["mean_ms"] = ms.empty() ? 0 : sum / double(ms.size());
  state.counters["p95_ms"] = p95(ms);
}

void BM_Encoder(benchmark::State& state, Wire::Codec codec) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  VideoToolboxEncoder encoder({w, h, 60, 20'000'000, codec, 1.0});
  uint64_t bytes = 0;
  encoder.sink = [&](const EncodedFrame& f) { bytes += f.data.size(); };
  encoder.start();
  std::vector<PixelBufferRef> frames;
  for (int i = 0; i < 8; ++i) frames.push_back(pattern(w, h, i));
  std::vector<double> ms;
  int n = 0;
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    encoder.encode(frames[n % frames.size()], static_cast<uint64_t>(n), false);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    ++n;
  }
  encoder.stop();
  report(state, ms);
  state.counters["kB_per_frame"] = n ? double(bytes) / 1000.0 / n : 0;
}

// The library's fastest preset with nothing of ours: the floor to compare with.
void BM_X264FastestPreset(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0));
  const int h = static_cast<int>(state.range(1));
  x264_param_t param;
  x264_param_default_preset(&param, "ultrafast", "zerolatency");
  param.i_width = w;
  param.i_height = h;
  param.i_csp = X264_CSP_NV12;
  param.i_fps_num = 60;
  param.i_fps_den = 1;
  param.i_log_level = X264_LOG_NONE;
  param.rc.i_rc_method = X264_RC_CRF;
  param.rc.f_rf_constant = 23.5f;
  param.rc.i_vbv_max_bitrate = 20'000;
  param.rc.i_vbv_buffer_size = 20'000;
  x264_t* encoder = x264_encoder_open(&param);
  if (encoder == nullptr) {
    state.SkipWithError("x264_encoder_open refused the settings");
    return;
  }
  std::vector<PixelBufferRef> frames;
  for (int i = 0; i < 8; ++i) frames.push_back(pattern(w, h, i));
  std::vector<double> ms;
  uint64_t bytes = 0;
  int n = 0;
  for (auto _ : state) {
    const auto& f = frames[n % frames.size()];
    x264_picture_t in;
    x264_picture_t out;
    x264_picture_init(&in);
    in.img.i_csp = X264_CSP_NV12;
    in.img.i_plane = 2;
    for (int p = 0; p < 2; ++p) {
      in.img.plane[p] = f->planeData(p);
      in.img.i_stride[p] = static_cast<int>(f->bytesPerRow(p));
    }
    in.i_pts = n;
    x264_nal_t* nals = nullptr;
    int count = 0;
    const auto t0 = std::chrono::steady_clock::now();
    const int size = x264_encoder_encode(encoder, &nals, &count, &in, &out);
    ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    if (size > 0) bytes += static_cast<uint64_t>(size);
    ++n;
  }
  x264_encoder_close(encoder);
  report(state, ms);
  state.counters["kB_per_frame"] = n ? double(bytes) / 1000.0 / n : 0;
}

#define SIZES Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->Iterations(120)
BENCHMARK_CAPTURE(BM_Encoder, h264, Wire::Codec::h264)->SIZES;
BENCHMARK(BM_X264FastestPreset)->SIZES;
BENCHMARK_CAPTURE(BM_Encoder, hevc, Wire::Codec::hevc)->SIZES;

}  // namespace
}  // namespace lumenrail
