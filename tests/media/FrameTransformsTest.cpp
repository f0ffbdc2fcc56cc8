#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

#include "media/FrameScaler.hpp"
#include "media/InkObserver.hpp"
#include "media/ViewportCropper.hpp"
#include "media/ViewportGeometry.hpp"

namespace lumenrail {
namespace {

using Q = Wire::ViewportRectQ16;

TEST(ViewportGeometry, PixelsFromQ16Table) {
  struct Row {
    Q in;
    int64_t w, h;
    PixelRect want;
  };
  const Row rows[] = {
      {Q::full(), 1920, 1080, {0, 0, 1920, 1080}},
      {{100, 200, 0, 5000}, 1920, 1080, {0, 0, 1920, 1080}},        // width 0 means full
      {{0, 0, 1, 1}, 1920, 1080, {0, 0, 16, 16}},                   // at least 16 pixels
      {{0xFFFF, 0xFFFF, 0x8000, 0x8000}, 1920, 1080, {960, 540, 960, 540}},  // moved back inside
      {{3447, 0, 3447, 0x8000}, 1920, 1080, {100, 0, 102, 540}},    // 101 -> 100 origin, 101 -> 102 extent
      {{0, 0, 0xFFFE, 0xFFFE}, 1921, 1081, {0, 0, 1921, 1081}},     // odd sides keep their odd extent
      {{0, 0, 1, 1}, 10, 8, {0, 0, 10, 8}},                         // tiny frame: 16 capped at the side
      {{0x4000, 0x4000, 0x4000, 0x4000}, 0, 1080, {0, 0, 0, 1080}}, // no frame: the whole (empty) frame
  };
  for (const Row& r : rows) {
    EXPECT_EQ(ViewportGeometry::pixels(r.in, r.w, r.h), r.want)
        << r.in.x << "," << r.in.y << " " << r.in.w << "x" << r.in.h << " on " << r.w << "x" << r.h;
  }
}

TEST(ViewportGeometry, Q16FromPixelsTableAndRoundTrip) {
  EXPECT_EQ(ViewportGeometry::toQ16({0, 0, 1920, 1080}, 1920, 1080), Q::full());
  EXPECT_EQ(ViewportGeometry::toQ16({0, 0, 4000, 4000}, 1920, 1080), Q::full());
  EXPECT_EQ(ViewportGeometry::toQ16({960, 540, 960, 540}, 1920, 1080), (Q{32768, 32768, 32768, 32768}));
  EXPECT_EQ(ViewportGeometry::toQ16({10, 10, 10, 10}, 0, 1080), Q::full());
  EXPECT_EQ(ViewportGeometry::toQ16({-50, 20, 9000, 10}, 1920, 1080), (Q{0, 1214, 0xFFFF, 607}));
  for (const PixelRect r : {PixelRect{100, 50, 640, 360}, PixelRect{1024, 700, 16, 16}, PixelRect{2, 2, 1900, 1070}}) {
    EXPECT_EQ(ViewportGeometry::pixels(ViewportGeometry::toQ16(r, 1920, 1080), 1920, 1080), r);
  }
}

// Four quadrants: red, green / blue, white.
struct Bgr {
  uint8_t b, g, r;
};
constexpr Bgr kQuadBgr[4] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255}};
// Hand-picked NV12 samples per quadrant (they need not be real colours).
struct Yuv {
  uint8_t y, cb, cr;
};
constexpr Yuv kQuadYuv[4] = {{40, 90, 240}, {150, 30, 20}, {20, 240, 110}, {235, 128, 128}};

int quadrant(int64_t x, int64_t y, int64_t w, int64_t h) { return (y >= h / 2 ? 2 : 0) + (x >= w / 2 ? 1 : 0); }

PixelBufferRef fourColourBgra(int64_t w, int64_t h) {
  PixelBufferRef b = PixelBuffer::make(PixelFormat::bgra, w, h);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) {
      uint8_t* p = b->planeData(0) + y * b->bytesPerRow(0) + x * 4;
      const Bgr c = kQuadBgr[quadrant(x, y, w, h)];
      p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = 255;
    }
  }
  return b;
}

PixelBufferRef fourColourNv12(int64_t w, int64_t h) {
  PixelBufferRef b = PixelBuffer::make(PixelFormat::nv12FullRange, w, h);
  for (int64_t y = 0; y < h; ++y) {
    for (int64_t x = 0; x < w; ++x) b->planeData(0)[y * b->bytesPerRow(0) + x] = kQuadYuv[quadrant(x, y, w, h)].y;
  }
  for (int64_t y = 0; y < h / 2; ++y) {
    for (int64_t x = 0; x < w / 2; ++x) {
      uint8_t* p = b->planeData(1) + y * b->bytesPerRow(1) + 2 * x;
      const Yuv c = kQuadYuv[quadrant(2 * x, 2 * y, w, h)];
      p[0] = c.cb, p[1] = c.cr;
    }
  }
  return b;
}

::testing::AssertionResult bgraNear(const PixelBuffer& b, int64_t x, int64_t y, Bgr want, int tol = 1) {
  const uint8_t* p = b.planeData(0) + y * b.bytesPerRow(0) + x * 4;
  if (std::abs(p[0] - want.b) > tol || std::abs(p[1] - want.g) > tol || std::abs(p[2] - want.r) > tol) {
    return ::testing::AssertionFailure() << "at " << x << "," << y << ": " << int(p[0]) << " " << int(p[1]) << " "
                                         << int(p[2]);
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult nv12Uniform(const PixelBuffer& b, Yuv want) {
  for (int64_t y = 0; y < b.height(); ++y) {
    for (int64_t x = 0; x < b.width(); ++x) {
      const int v = b.planeData(0)[y * b.bytesPerRow(0) + x];
      if (v != want.y) return ::testing::AssertionFailure() << "Y at " << x << "," << y << " is " << v;
    }
  }
  for (int64_t y = 0; y < b.planeHeight(1); ++y) {
    for (int64_t x = 0; x < b.planeWidth(1); ++x) {
      const uint8_t* p = b.planeData(1) + y * b.bytesPerRow(1) + 2 * x;
      if (p[0] != want.cb || p[1] != want.cr) {
        return ::testing::AssertionFailure() << "CbCr at " << x << "," << y << " is " << int(p[0]) << "," << int(p[1]);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

std::vector<uint8_t> bytesOf(const PixelBuffer& b) {
  std::vector<uint8_t> out;
  for (int i = 0; i < b.planeCount(); ++i) {
    out.insert(out.end(), b.planeData(i), b.planeData(i) + b.bytesPerRow(i) * b.planeHeight(i));
  }
  return out;
}

TEST(ViewportCropper, TopLeftQuarterOfFourColoursIsEnlargedTwice) {
  const PixelBufferRef src = fourColourBgra(1920, 1080);
  const std::vector<uint8_t> before = bytesOf(*src);
  ViewportCropper cropper;
  const PixelBufferRef out = cropper.crop(src, {0, 0, 960, 540}, 1920, 1080);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->format(), PixelFormat::bgra);
  EXPECT_EQ(out->width(), 1920);
  EXPECT_EQ(out->height(), 1080);
  for (const auto& [x, y] : {std::pair<int64_t, int64_t>{0, 0}, {1919, 0}, {0, 1079}, {1919, 1079}, {960, 540}}) {
    EXPECT_TRUE(bgraNear(*out, x, y, kQuadBgr[0], 0));
  }
  // A window over the centre keeps all four colours in their places.
  const PixelBufferRef centre = cropper.crop(src, {960 - 64, 540 - 64, 128, 128}, 256, 256);
  ASSERT_TRUE(centre);
  EXPECT_TRUE(bgraNear(*centre, 10, 10, kQuadBgr[0]));
  EXPECT_TRUE(bgraNear(*centre, 245, 10, kQuadBgr[1]));
  EXPECT_TRUE(bgraNear(*centre, 10, 245, kQuadBgr[2]));
  EXPECT_TRUE(bgraNear(*centre, 245, 245, kQuadBgr[3]));
  EXPECT_EQ(bytesOf(*src), before) << "the delivered frame was written";
}

TEST(ViewportCropper, Nv12QuadrantsKeepExactChromaAndOddOriginsAreTakenDownToEven) {
  const PixelBufferRef src = fourColourNv12(320, 180);
  const std::vector<uint8_t> before = bytesOf(*src);
  ViewportCropper cropper;
  for (int q = 0; q < 4; ++q) {
    const PixelRect r{q % 2 ? 160 : 0, q / 2 ? 90 : 0, 160, 90};
    const PixelBufferRef out = cropper.crop(src, r, 320, 180);
    ASSERT_TRUE(out);
    EXPECT_EQ(out->format(), PixelFormat::nv12FullRange);
    EXPECT_TRUE(nv12Uniform(*out, kQuadYuv[q])) << "quadrant " << q;
  }
  // (161, 91) starts inside the white quadrant's first chroma pair only when taken down to (160, 90).
  const PixelBufferRef odd = cropper.crop(src, {161, 91, 158, 88}, 158, 88);
  ASSERT_TRUE(odd);
  EXPECT_TRUE(nv12Uniform(*odd, kQuadYuv[3]));
  EXPECT_EQ(bytesOf(*src), before);
}

TEST(ViewportCropper, RefusesEmptyAndOutsideRectanglesAndClipsHostileOnes) {
  const PixelBufferRef src = fourColourBgra(64, 64);
  ViewportCropper cropper;
  EXPECT_FALSE(cropper.crop(src, {0, 0, 0, 10}, 64, 64));
  EXPECT_FALSE(cropper.crop(src, {0, 0, 10, 10}, 0, 64));
  EXPECT_FALSE(cropper.crop(src, {64, 0, 10, 10}, 64, 64));
  EXPECT_FALSE(cropper.crop(src, {-100, 0, 50, 10}, 64, 64));
  EXPECT_FALSE(cropper.crop(nullptr, {0, 0, 10, 10}, 64, 64));
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  const PixelBufferRef clipped = cropper.crop(src, {32, 32, kMax, kMax}, 32, 32);
  ASSERT_TRUE(clipped);
  EXPECT_TRUE(bgraNear(*clipped, 0, 0, kQuadBgr[3], 0));
  EXPECT_TRUE(bgraNear(*clipped, 31, 31, kQuadBgr[3], 0));
}

TEST(FrameScaler, StretchesWholeFrameAndKeepsFormat) {
  FrameScaler scaler;
  const PixelBufferRef out = scaler.scale(fourColourBgra(64, 64), 32, 16);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->format(), PixelFormat::bgra);
  EXPECT_EQ(out->width(), 32);
  EXPECT_EQ(out->height(), 16);
  EXPECT_TRUE(bgraNear(*out, 0, 0, kQuadBgr[0]));
  EXPECT_TRUE(bgraNear(*out, 31, 0, kQuadBgr[1]));
  EXPECT_TRUE(bgraNear(*out, 0, 15, kQuadBgr[2]));
  EXPECT_TRUE(bgraNear(*out, 31, 15, kQuadBgr[3]));

  const PixelBufferRef nv12 = scaler.scale(fourColourNv12(64, 64), 32, 32);
  ASSERT_TRUE(nv12);
  EXPECT_EQ(nv12->format(), PixelFormat::nv12FullRange);
  EXPECT_EQ(nv12->planeData(0)[0], kQuadYuv[0].y);
  EXPECT_EQ(nv12->planeData(0)[31 * nv12->bytesPerRow(0) + 31], kQuadYuv[3].y);

  EXPECT_FALSE(scaler.scale(fourColourBgra(8, 8), 0, 16));
  EXPECT_FALSE(scaler.scale(fourColourBgra(8, 8), 16, -1));
  EXPECT_FALSE(scaler.scale(nullptr, 16, 16));
}

TEST(FrameScaler, EightHeldFramesExhaustThePoolUntilOneIsLetGo) {
  FrameScaler scaler;
  const PixelBufferRef src = fourColourBgra(32, 32);
  std::vector<PixelBufferRef> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(scaler.scale(src, 16, 16));
    ASSERT_TRUE(held.back()) << i;
  }
  EXPECT_FALSE(scaler.scale(src, 16, 16));
  held.pop_back();
  EXPECT_TRUE(scaler.scale(src, 16, 16));
}

PixelBufferRef lumaFrame(uint8_t luma) {
  PixelBufferRef b = PixelBuffer::make(PixelFormat::nv12VideoRange, 64, 64);
  for (int64_t y = 0; y < 64; ++y) std::fill_n(b->planeData(0) + y * b->bytesPerRow(0), 64, uint8_t(10));
  for (int64_t y = 8; y < 24; ++y) std::fill_n(b->planeData(0) + y * b->bytesPerRow(0) + 8, 16, luma);
  return b;
}

TEST(InkObserver, FiresOnceWhenBrightAndRearmsOnlyBelowTheRearmThreshold) {
  InkObserver ink({8, 8, 16, 16, 160.0, 80.0});
  EXPECT_FALSE(ink.observe(*lumaFrame(20)));
  EXPECT_TRUE(ink.observe(*lumaFrame(200)));
  EXPECT_FALSE(ink.observe(*lumaFrame(200)));
  EXPECT_FALSE(ink.observe(*lumaFrame(100)));  // between the thresholds: still disarmed
  EXPECT_FALSE(ink.observe(*lumaFrame(200)));
  EXPECT_FALSE(ink.observe(*lumaFrame(79)));  // re-arms
  EXPECT_TRUE(ink.armed());
  EXPECT_TRUE(ink.observe(*lumaFrame(160)));  // the threshold itself counts as bright
}

TEST(InkObserver, MeanLumaOfBgraAndClippingAndRectanglesOutsideTheFrame) {
  PixelBufferRef b = PixelBuffer::make(PixelFormat::bgra, 4, 4);
  for (int64_t y = 0; y < 4; ++y) {
    for (int64_t x = 0; x < 4; ++x) {
      uint8_t* p = b->planeData(0) + y * b->bytesPerRow(0) + x * 4;
      // Left half R=200 G=100 B=50 (luma 124.2), right half black.
      const bool left = x < 2;
      p[0] = left ? 50 : 0, p[1] = left ? 100 : 0, p[2] = left ? 200 : 0, p[3] = 255;
    }
  }
  auto luma = [&](InkObserver::Config c) { return InkObserver::meanLuma(*b, c); };
  ASSERT_TRUE(luma({0, 0, 2, 4}));
  EXPECT_NEAR(*luma({0, 0, 2, 4}), 124.2, 1e-9);
  EXPECT_NEAR(*luma({0, 0, 4, 4}), 62.1, 1e-9);
  EXPECT_NEAR(*luma({-10, -10, 12, 100}), 124.2, 1e-9);  // clipped to columns 0..1
  EXPECT_FALSE(luma({4, 0, 2, 2}));
  EXPECT_FALSE(luma({-5, 0, 5, 2}));
  EXPECT_FALSE(luma({0, 0, -3, 2}));
  EXPECT_FALSE(luma({std::numeric_limits<int64_t>::max(), 0, 10, 10}));

  InkObserver outside({100, 100, 10, 10, 1.0, 0.5});
  EXPECT_FALSE(outside.observe(*lumaFrame(255)));
  EXPECT_TRUE(outside.armed());
}

}  // namespace
}  // namespace lumenrail
