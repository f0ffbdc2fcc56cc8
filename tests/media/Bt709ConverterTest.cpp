#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "input/PenMapper.hpp"
#include "media/Bt709Converter.hpp"
#include "media/CaptureFrameCopier.hpp"
#include "media/PictureFit.hpp"

namespace lumenrail {
namespace {

using Range = Bt709Converter::Range;
using Kernel = Bt709Converter::Kernel;

// The textbook formulas in floating point: Y = 0.2126 R + 0.7152 G + 0.0722 B,
// Cb = (B - Y) / 1.8556, Cr = (R - Y) / 1.5748, chroma of the 2x2 mean.
struct Reference {
  double y, cb, cr;
};

Reference reference(double b, double g, double r, Range range) {
  const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  Reference out{y, (b - y) / 1.8556, (r - y) / 1.5748};
  if (range == Range::video) return {16 + out.y * 219 / 255, out.cb * 224 / 255 + 128, out.cr * 224 / 255 + 128};
  return {out.y, out.cb + 128, out.cr + 128};
}

int clampRound(double v) { return int(std::lround(std::clamp(v, 0.0, 255.0))); }

// Random pixels, half of their channels pinned to 0 or 255, with padded rows.
struct Picture {
  int64_t w, h, stride;
  std::vector<uint8_t> bytes;
  const uint8_t* at(int64_t x, int64_t y) const { return &bytes[size_t(y * stride + x * 4)]; }
};

Picture randomPicture(int64_t w, int64_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  Picture p{w, h, w * 4 + 12, {}};
  p.bytes.resize(size_t(p.stride * h));
  for (auto& b : p.bytes) {
    const uint32_t v = rng();
    b = (v & 0x100) ? uint8_t(v) : ((v & 0x200) ? 255 : 0);
  }
  return p;
}

TEST(Bt709Converter, MatchesTheReferenceWithinOneOnOddSizesAndExtremeColours) {
  struct Case {
    int64_t w, h;
    Range range;
  };
  // Widths below, at and past the vector steps (32 and 64 pixels), odd and even.
  const Case cases[] = {{1, 1, Range::full},  {3, 5, Range::full},   {33, 17, Range::full}, {64, 2, Range::full},
                        {127, 9, Range::full}, {200, 3, Range::full}, {97, 7, Range::video}};
  for (const Kernel kernel : {Kernel::plain, Kernel::avx2, Kernel::avx512}) {
  if (!Bt709Converter::runs(kernel)) continue;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << Bt709Converter::kernelName(kernel) << " " << c.w << "x" << c.h
                                      << (c.range == Range::full ? " full" : " video"));
    const Picture pic = randomPicture(c.w, c.h, uint32_t(c.w * 131 + c.h));
    const int64_t cw = (c.w + 1) / 2, ch = (c.h + 1) / 2;
    std::vector<uint8_t> y(size_t(c.w * c.h)), nv12(size_t(cw * 2 * ch)), cb(size_t(cw * ch)), cr(size_t(cw * ch));
    std::vector<uint8_t> y2(y.size());
    Bt709Converter::toNv12(pic.bytes.data(), pic.stride, c.w, c.h, y.data(), c.w, nv12.data(), cw * 2, c.range,
                           kernel);
    Bt709Converter::toI420(pic.bytes.data(), pic.stride, c.w, c.h, y2.data(), c.w, cb.data(), cw, cr.data(), cw,
                           c.range, kernel);
    EXPECT_EQ(y, y2);
    int worst = 0;
    for (int64_t row = 0; row < c.h; ++row) {
      for (int64_t x = 0; x < c.w; ++x) {
        const uint8_t* p = pic.at(x, row);
        const int want = clampRound(reference(p[0], p[1], p[2], c.range).y);
        worst = std::max(worst, std::abs(int(y[size_t(row * c.w + x)]) - want));
      }
    }
    for (int64_t row = 0; row < ch; ++row) {
      for (int64_t x = 0; x < cw; ++x) {
        double sum[3] = {0, 0, 0};
        for (int64_t dy = 0; dy < 2; ++dy) {
          for (int64_t dx = 0; dx < 2; ++dx) {
            const uint8_t* p = pic.at(std::min(2 * x + dx, c.w - 1), std::min(2 * row + dy, c.h - 1));
            for (int i = 0; i < 3; ++i) sum[i] += p[i];
          }
        }
        const Reference want = reference(sum[0] / 4, sum[1] / 4, sum[2] / 4, c.range);
        const size_t at = size_t(row * cw + x);
        worst = std::max(worst, std::abs(int(cb[at]) - clampRound(want.cb)));
        worst = std::max(worst, std::abs(int(cr[at]) - clampRound(want.cr)));
        EXPECT_EQ(nv12[at * 2], cb[at]);
        EXPECT_EQ(nv12[at * 2 + 1], cr[at]);
      }
    }
    EXPECT_LE(worst, 1);
  }
  }

  // Full range keeps both ends exactly: black, white and the saturated primaries.
  struct Extreme {
    uint8_t b, g, r;
    int y, cb, cr;
  };
  const Extreme extremes[] = {{0, 0, 0, 0, 128, 128},    {255, 255, 255, 255, 128, 128}, {255, 0, 0, 18, 255, 116},
                              {0, 0, 255, 54, 99, 255},  {0, 255, 0, 182, 30, 12}};
  for (const Extreme& e : extremes) {
    std::vector<uint8_t> pixels;
    for (int i = 0; i < 40 * 2; ++i) pixels.insert(pixels.end(), {e.b, e.g, e.r, 0x5a});
    std::vector<uint8_t> y(80), cbcr(40);
    Bt709Converter::toNv12(pixels.data(), 160, 40, 2, y.data(), 40, cbcr.data(), 40);
    for (uint8_t v : y) EXPECT_EQ(v, e.y);
    for (size_t i = 0; i < cbcr.size(); i += 2) {
      EXPECT_EQ(cbcr[i], e.cb);
      EXPECT_EQ(cbcr[i + 1], e.cr);
    }
  }
}

// Mirror of a 16:9 display into a 4:3 stream: the picture keeps its shape,
// centred between black bars, exactly where the pen mapper puts it.
TEST(CaptureFrameCopier, FitsAPictureOfAnotherAspectBetweenBarsWhereThePenMapperExpectsIt) {
  constexpr int64_t kDisplayW = 1920, kDisplayH = 1080, kStreamW = 1024, kStreamH = 768;
  std::vector<uint8_t> white(size_t(kDisplayW * kDisplayH * 4), 0xff);
  const PictureRect r = fitPicture(kDisplayW, kDisplayH, kStreamW, kStreamH);
  EXPECT_EQ(r, (PictureRect{0, 96, 1024, 576}));

  for (PixelFormat format : {PixelFormat::nv12FullRange, PixelFormat::i420FullRange}) {
    CaptureFrameCopier copier(kStreamW, kStreamH, format, [] { return uint64_t(0); });
    // Twice: the second frame reuses a buffer that already holds a picture.
    copier.copy(white.data(), kDisplayW * 4, kDisplayW, kDisplayH);
    PixelBufferRef out = copier.copy(white.data(), kDisplayW * 4, kDisplayW, kDisplayH);
    ASSERT_TRUE(out);
    for (int64_t y = 0; y < kStreamH; ++y) {
      const bool picture = y >= r.y && y < r.y + r.height;
      const uint8_t* row = out->planeData(0) + y * out->bytesPerRow(0);
      for (int64_t x = 0; x < kStreamW; x += 97) ASSERT_EQ(row[x], picture ? 255 : 0) << x << "," << y;
    }
    for (int plane = 1; plane < out->planeCount(); ++plane) {
      for (int64_t y = 0; y < out->planeHeight(plane); y += 5) {
        const uint8_t* row = out->planeData(plane) + y * out->bytesPerRow(plane);
        for (int64_t x = 0; x < out->planeWidth(plane); x += 7) ASSERT_EQ(row[x], 128) << plane << ": " << x << "," << y;
      }
    }
  }

  // A contact on the picture's top and bottom edges reaches the display's
  // top and bottom rows; one in a bar stays on the edge.
  PenMapper mapper;
  auto mappedY = [&](double streamY) {
    Wire::InputSample sample;
    Wire::InputPointer p;
    p.pointerId = 1;
    p.tool = Wire::PenTool::pen;
    p.flags = Wire::PenFlag::inRange;
    p.xNorm = 32768;
    p.yNorm = uint16_t(std::lround(streamY / kStreamH * 65535.0));
    sample.pointers.push_back(p);
    const auto events = mapper.mapSample(sample, Rect{0, 0, kDisplayW, kDisplayH}, Size{kStreamW, kStreamH});
    return events.empty() ? -1.0 : events.back().y;
  };
  EXPECT_NEAR(mappedY(double(r.y)), 0.0, 1.0);
  EXPECT_NEAR(mappedY(double(r.y + r.height)), double(kDisplayH - 1), 1.0);
  EXPECT_NEAR(mappedY(double(r.y) / 2), 0.0, 1.0);
}

// A picture converted in row bands is the picture converted whole, odd last
// band and a picture placed between bars included.
TEST(CaptureFrameCopier, ConvertsInBandsTheSameBytesAsWhole) {
  struct Case {
    int64_t w, h, streamW, streamH;
  };
  for (const Case c : {Case{1001, 777, 1001, 777}, Case{1000, 562, 1000, 750}}) {
    for (const PixelFormat format : {PixelFormat::nv12FullRange, PixelFormat::i420FullRange}) {
      SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " into " << c.streamW << "x" << c.streamH);
      const Picture pic = randomPicture(c.w, c.h, uint32_t(c.w + c.h));
      const int64_t cw = (c.w + 1) / 2, ch = (c.h + 1) / 2;
      std::vector<uint8_t> y(size_t(c.w * c.h)), cb(size_t(cw * ch)), cr(size_t(cw * ch));
      Bt709Converter::toI420(pic.bytes.data(), pic.stride, c.w, c.h, y.data(), c.w, cb.data(), cw, cr.data(), cw);
      CaptureFrameCopier copier(c.streamW, c.streamH, format, [] { return uint64_t(0); });
      const PixelBufferRef out = copier.copy(pic.bytes.data(), pic.stride, c.w, c.h);
      ASSERT_TRUE(out);
      const PictureRect r = fitPicture(c.w, c.h, c.streamW, c.streamH);
      ASSERT_EQ(r.width, c.w);
      for (int64_t row = 0; row < c.h; ++row) {
        ASSERT_EQ(0, std::memcmp(out->planeData(0) + (r.y + row) * out->bytesPerRow(0) + r.x, &y[size_t(row * c.w)],
                                 size_t(c.w)))
            << row;
      }
      for (int64_t row = 0; row < ch; ++row) {
        const int64_t at = (r.y / 2 + row);
        for (int64_t x = 0; x < cw; ++x) {
          const size_t i = size_t(row * cw + x);
          if (format == PixelFormat::i420FullRange) {
            ASSERT_EQ(out->planeData(1)[at * out->bytesPerRow(1) + r.x / 2 + x], cb[i]) << row << "," << x;
            ASSERT_EQ(out->planeData(2)[at * out->bytesPerRow(2) + r.x / 2 + x], cr[i]) << row << "," << x;
          } else {
            ASSERT_EQ(out->planeData(1)[at * out->bytesPerRow(1) + r.x + 2 * x], cb[i]) << row << "," << x;
            ASSERT_EQ(out->planeData(1)[at * out->bytesPerRow(1) + r.x + 2 * x + 1], cr[i]) << row << "," << x;
          }
        }
      }
    }
  }
}

// A desktop larger than the stream, fitted down at odd ratios: a blue ramp
// across the picture lands where a bilinear filter puts it, in every row band,
// for both orientations and both 4:2:0 layouts.
TEST(CaptureFrameCopier, FitsALargerPictureDownWithEachSampleFromItsPlace) {
  struct Case {
    int64_t w, h, streamW, streamH;
    bool vertical;
    PixelFormat format;
  };
  const Case cases[] = {{2732, 2048, 1920, 1440, true, PixelFormat::nv12FullRange},
                        {2732, 2048, 1920, 1440, false, PixelFormat::i420FullRange},
                        {1001, 777, 640, 496, true, PixelFormat::i420FullRange},
                        {1001, 777, 640, 496, false, PixelFormat::nv12FullRange}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << (c.vertical ? " rows" : " columns"));
    const int64_t n = c.vertical ? c.h : c.w;
    std::vector<uint8_t> bgrx(size_t(c.w * c.h * 4), 0);
    for (int64_t y = 0; y < c.h; ++y) {
      for (int64_t x = 0; x < c.w; ++x) bgrx[size_t((y * c.w + x) * 4)] = uint8_t(((c.vertical ? y : x) * 255) / (n - 1));
    }
    CaptureFrameCopier copier(c.streamW, c.streamH, c.format, [] { return uint64_t(0); });
    const PixelBufferRef out = copier.copy(bgrx.data(), c.w * 4, c.w, c.h);
    ASSERT_TRUE(out);
    const PictureRect r = fitPicture(c.w, c.h, c.streamW, c.streamH);
    const int64_t fitN = c.vertical ? r.height : r.width;
    // The ramp's blue at a picture position, in samples of a plane `scale` times coarser.
    auto blueAt = [&](int64_t d, int64_t scale) {
      const double pos = (double(d) + 0.5) * double(n) / double(fitN) - 0.5 * double(scale);
      return std::clamp(pos, 0.0, double(n - 1)) * 255.0 / double(n - 1);
    };
    for (int64_t d = 0; d < fitN; d += 7) {
      const int64_t x = c.vertical ? r.x + r.width / 3 : r.x + d, y = c.vertical ? r.y + d : r.y + r.height / 3;
      ASSERT_NEAR(out->planeData(0)[y * out->bytesPerRow(0) + x], reference(blueAt(d, 1), 0, 0, Range::full).y, 2) << d;
      if (d % 2 != 0) continue;
      const int64_t cx = x / 2, cy = y / 2;
      const uint8_t* cbRow = out->planeData(1) + cy * out->bytesPerRow(1);
      const int cb = c.format == PixelFormat::i420FullRange ? cbRow[cx] : cbRow[cx * 2];
      ASSERT_NEAR(cb, reference(blueAt(d, 2), 0, 0, Range::full).cb, 3) << d;
    }
  }
}

}  // namespace
}  // namespace lumenrail
