// Capture cost per frame: grabbing the screen from the X server, converting
// BGRX to the stream's NV12 (BT.709 full range, in row bands on up to four
// threads) beside libyuv's ARGBToNV12 (BT.601 studio range) on the same frame
// on one core, the fitted conversion of
// a 16:9 picture into a 4:3 stream, a larger desktop fitted down into the
// stream, and the same-size BGRA row copy, at 1920x1080 and 2732x2048. The X part runs on a private Xvfb started here.

#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include <libyuv/convert_from_argb.h>

#include "BenchXServer.hpp"
#include "media/Bt709Converter.hpp"
#include "media/CaptureFrameCopier.hpp"
#include "platform/X11Display.hpp"

namespace {

using namespace lumenrail;

BenchXServer& server() {
  static BenchXServer instance;
  return instance;
}

std::vector<uint8_t> gradient(int64_t w, int64_t h) {
  std::vector<uint8_t> pixels(size_t(w * h * 4));
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* p = &pixels[size_t((y * w + x) * 4)];
      p[0] = uint8_t(x);
      p[1] = uint8_t(y);
      p[2] = uint8_t(x + y);
      p[3] = 0;
    }
  }
  return pixels;
}

// Times copies of a w×h gradient through `copier`, after one untimed copy
// that sizes its buffers.
void timeCopies(benchmark::State& state, CaptureFrameCopier& copier, int64_t w, int64_t h) {
  const auto pixels = gradient(w, h);
  copier.copy(pixels.data(), w * 4, w, h);
  for (auto _ : state) {
    PixelBufferRef out = copier.copy(pixels.data(), w * 4, w, h);
    if (!out) state.SkipWithError("copy failed");
    benchmark::DoNotOptimize(out.get());
  }
}

void BM_Grab(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  if (server().display().empty()) {
    state.SkipWithError(("no X server: " + server().whyNot()).c_str());
    return;
  }
  auto display = X11Display::open(server().display());
  X11ScreenGrabber grabber(display);
  grabber.grab(0, 0, w, h);
  for (auto _ : state) {
    X11Image image = grabber.grab(0, 0, w, h);
    benchmark::DoNotOptimize(image.data);
  }
  state.SetLabel(grabber.usingShm() ? "MIT-SHM" : "GetImage");
}

void BM_ConvertToNv12(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  CaptureFrameCopier copier(w, h, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  timeCopies(state, copier, w, h);
  state.SetLabel(Bt709Converter::kernelName(Bt709Converter::bestKernel()));
}

// The machine's limit for the same work: libyuv's vectorised conversion
// into a buffer of the same layout. Its matrix differs (BT.601 studio range,
// which the stream does not signal); the work per pixel is the same.
void BM_LibyuvArgbToNv12(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const auto pixels = gradient(w, h);
  PixelBufferRef out = PixelBuffer::make(PixelFormat::nv12FullRange, w, h);
  for (auto _ : state) {
    libyuv::ARGBToNV12(pixels.data(), int(w * 4), out->planeData(0), int(out->bytesPerRow(0)), out->planeData(1),
                       int(out->bytesPerRow(1)), int(w), int(h));
    benchmark::DoNotOptimize(out->planeData(0));
  }
  state.SetLabel("the limit ConvertToNv12 is held to: libyuv, one thread");
}

void BM_ConvertToI420(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  CaptureFrameCopier copier(w, h, PixelFormat::i420FullRange, [] { return uint64_t(0); });
  timeCopies(state, copier, w, h);
}

// Mirror of a 16:9 display into a 4:3 stream of the same width: converted at
// the display's size, then each plane scaled into place between bars.
void BM_ConvertFitted16x9Into4x3(benchmark::State& state) {
  const int64_t w = state.range(0);
  const int64_t pictureH = w * 9 / 16;
  const int64_t streamH = w * 3 / 4 / 2 * 2;
  CaptureFrameCopier copier(w, streamH, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  timeCopies(state, copier, w, pictureH);
  state.SetLabel(std::to_string(w) + "x" + std::to_string(pictureH) + " into " + std::to_string(w) + "x" +
                 std::to_string(streamH));
}

// A desktop larger than the stream, fitted down into it: args are the
// desktop's size and the stream's.
void BM_ConvertFittedDown(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const int64_t streamW = state.range(2), streamH = state.range(3);
  CaptureFrameCopier copier(streamW, streamH, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  timeCopies(state, copier, w, h);
  state.SetLabel(std::to_string(w) + "x" + std::to_string(h) + " into " + std::to_string(streamW) + "x" +
                 std::to_string(streamH));
}

void BM_CopyBgra(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  CaptureFrameCopier copier(w, h, PixelFormat::bgra, [] { return uint64_t(0); });
  timeCopies(state, copier, w, h);
}

// What one capture tick costs with a changed screen: grab and convert.
void BM_GrabAndConvert(benchmark::State& state) {
  const int32_t w = int32_t(state.range(0)), h = int32_t(state.range(1));
  if (server().display().empty()) {
    state.SkipWithError(("no X server: " + server().whyNot()).c_str());
    return;
  }
  auto display = X11Display::open(server().display());
  X11ScreenGrabber grabber(display);
  CaptureFrameCopier copier(w, h, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  // Segment attach, converter set-up and first-touch faults are not per-frame costs.
  X11Image warm = grabber.grab(0, 0, w, h);
  copier.copy(warm.data, warm.bytesPerRow, warm.width, warm.height);
  for (auto _ : state) {
    X11Image image = grabber.grab(0, 0, w, h);
    PixelBufferRef out = copier.copy(image.data, image.bytesPerRow, image.width, image.height);
    benchmark::DoNotOptimize(out.get());
  }
}

}  // namespace

BENCHMARK(BM_Grab)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertToNv12)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LibyuvArgbToNv12)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertToI420)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertFitted16x9Into4x3)->Arg(1920)->Arg(2732)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ConvertFittedDown)
    ->Args({2560, 1440, 1920, 1080})
    ->Args({2732, 2048, 1920, 1440})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_CopyBgra)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrabAndConvert)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
