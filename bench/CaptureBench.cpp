// Capture cost per frame: grabbing the screen from the X server, converting
// BGRX to the stream's NV12 (libswscale) and the same-size BGRA row copy,
// at 1920x1080 and 2732x2048. The X part runs on a private Xvfb started here.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "media/CaptureFrameCopier.hpp"
#include "platform/X11Display.hpp"

namespace {

using namespace lumenrail;

// Xvfb on a display number it picks itself (-displayfd), big enough for both sizes.
class BenchXServer {
 public:
  BenchXServer() {
    if (::access("/usr/bin/Xvfb", X_OK) != 0) {
      whyNot_ = "Xvfb is not installed (Debian package xvfb)";
      return;
    }
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0) {
      whyNot_ = "pipe failed";
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(ready[1], 3);
      const int devnull = ::open("/dev/null", O_RDWR);
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
      ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "2732x2048x24", "-nolisten", "tcp",
              "-noreset", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(ready[1]);
    std::string number;
    pollfd p{ready[0], POLLIN, 0};
    while (number.find('\n') == std::string::npos && ::poll(&p, 1, 20000) > 0) {
      char buf[16];
      const ssize_t n = ::read(ready[0], buf, sizeof buf);
      if (n <= 0) break;
      number.append(buf, size_t(n));
    }
    ::close(ready[0]);
    while (!number.empty() && number.back() == '\n') number.pop_back();
    if (number.empty()) {
      whyNot_ = "Xvfb did not report a display";
      return;
    }
    display_ = ":" + number;
  }
  ~BenchXServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  const std::string& display() const { return display_; }
  const std::string& whyNot() const { return whyNot_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string whyNot_;
};

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
  const auto pixels = gradient(w, h);
  CaptureFrameCopier copier(w, h, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  copier.copy(pixels.data(), w * 4, w, h);
  for (auto _ : state) {
    PixelBufferRef out = copier.copy(pixels.data(), w * 4, w, h);
    if (!out) state.SkipWithError("copy failed");
    benchmark::DoNotOptimize(out.get());
  }
}

void BM_CopyBgra(benchmark::State& state) {
  const int64_t w = state.range(0), h = state.range(1);
  const auto pixels = gradient(w, h);
  CaptureFrameCopier copier(w, h, PixelFormat::bgra, [] { return uint64_t(0); });
  for (auto _ : state) {
    PixelBufferRef out = copier.copy(pixels.data(), w * 4, w, h);
    if (!out) state.SkipWithError("copy failed");
    benchmark::DoNotOptimize(out.get());
  }
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
BENCHMARK(BM_CopyBgra)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GrabAndConvert)->Args({1920, 1080})->Args({2732, 2048})->Unit(benchmark::kMillisecond)->UseRealTime();
