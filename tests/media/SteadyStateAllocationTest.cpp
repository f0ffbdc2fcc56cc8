// Counts heap allocations made on the test's own thread while armed: the
// frame path (capture copy, conversion, encode, the access unit handed to the
// sink) must allocate nothing once it has seen a frame of each kind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <vector>

#include "media/CaptureFrameCopier.hpp"
#include "media/VideoToolboxEncoder.hpp"

namespace {
thread_local bool armed = false;
thread_local int64_t allocations = 0;

void* counted(std::size_t size) {
  if (armed) ++allocations;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return counted(size); }
void* operator new[](std::size_t size) { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace lumenrail {
namespace {

TEST(FramePath, SteadyStateCaptureConvertAndEncodeAllocateNothing) {
  constexpr int64_t kW = 320, kH = 240;
  std::vector<uint8_t> bgrx(size_t(kW * kH * 4));
  CaptureFrameCopier copier(kW, kH, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  VideoToolboxEncoder::Config config{kW, kH, 30, 2'000'000, Wire::Codec::h264, 1000.0};
  VideoToolboxEncoder encoder(config);
  size_t bytes = 0;
  encoder.sink = [&](const EncodedFrame& f) { bytes += f.data.size(); };
  encoder.start();
  auto frame = [&](int i) {
    for (size_t p = 0; p < bgrx.size(); ++p) bgrx[p] = uint8_t(p * 3 + size_t(i) * 7);
    PixelBufferRef b = copier.copy(bgrx.data(), kW * 4, kW, kH);
    ASSERT_TRUE(b);
    encoder.encode(b, uint64_t(i), false);
  };
  // The first frames size the pool, the converter and the access unit.
  for (int i = 0; i < 8; ++i) frame(i);
  armed = true;
  for (int i = 8; i < 24; ++i) frame(i);
  armed = false;
  encoder.stop();
  EXPECT_EQ(allocations, 0);
  EXPECT_GT(bytes, 0u);
}

}  // namespace
}  // namespace lumenrail
