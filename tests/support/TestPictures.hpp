#pragma once

// Solid pictures as the X server hands them, and checks of what a capture
// or copy made of them.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "media/PixelBuffer.hpp"

namespace lumenrail::test {

// BT.709 full range, by hand: Y = 0.2126 R + 0.7152 G + 0.0722 B,
// Cb = 128 + (B - Y) / 1.8556, Cr = 128 + (R - Y) / 1.5748 (clamped to 255).
// Studio range scales luma by 219/255 around 16 and chroma by 224/255.
struct Yuv {
  int y, cb, cr;
};
inline constexpr Yuv kRedFull{54, 99, 255};
inline constexpr Yuv kRedVideo{63, 102, 240};
inline constexpr Yuv kBlueFull{18, 255, 116};
inline constexpr Yuv kGreenFull{182, 30, 12};

inline ::testing::AssertionResult isUniformNv12(const PixelBuffer& b, Yuv want, int tolerance = 2) {
  if (b.format() == PixelFormat::bgra) return ::testing::AssertionFailure() << "not NV12";
  for (int64_t y = 0; y < b.planeHeight(0); ++y) {
    for (int64_t x = 0; x < b.planeWidth(0); ++x) {
      const int v = b.planeData(0)[y * b.bytesPerRow(0) + x];
      if (std::abs(v - want.y) > tolerance) {
        return ::testing::AssertionFailure() << "Y at " << x << "," << y << " is " << v << ", want " << want.y;
      }
    }
  }
  for (int64_t y = 0; y < b.planeHeight(1); ++y) {
    for (int64_t x = 0; x < b.planeWidth(1); ++x) {
      const int cb = b.planeData(1)[y * b.bytesPerRow(1) + 2 * x];
      const int cr = b.planeData(1)[y * b.bytesPerRow(1) + 2 * x + 1];
      if (std::abs(cb - want.cb) > tolerance || std::abs(cr - want.cr) > tolerance) {
        return ::testing::AssertionFailure() << "CbCr at " << x << "," << y << " is " << cb << "," << cr << ", want "
                                             << want.cb << "," << want.cr;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult isUniformBgra(const PixelBuffer& b, uint8_t blue, uint8_t green, uint8_t red) {
  if (b.format() != PixelFormat::bgra) return ::testing::AssertionFailure() << "not BGRA";
  for (int64_t y = 0; y < b.height(); ++y) {
    for (int64_t x = 0; x < b.width(); ++x) {
      const uint8_t* p = b.planeData(0) + y * b.bytesPerRow(0) + x * 4;
      if (p[0] != blue || p[1] != green || p[2] != red || p[3] != 255) {
        return ::testing::AssertionFailure() << "pixel " << x << "," << y << " is " << int(p[0]) << " " << int(p[1])
                                             << " " << int(p[2]) << " " << int(p[3]);
      }
    }
  }
  return ::testing::AssertionSuccess();
}

// A BGRX picture as the X server hands it: fourth byte 0.
inline std::vector<uint8_t> solidBgrx(int w, int h, uint32_t rgb) {
  std::vector<uint8_t> pixels(size_t(w) * size_t(h) * 4);
  for (size_t i = 0; i < pixels.size(); i += 4) {
    pixels[i] = uint8_t(rgb);
    pixels[i + 1] = uint8_t(rgb >> 8);
    pixels[i + 2] = uint8_t(rgb >> 16);
    pixels[i + 3] = 0;
  }
  return pixels;
}

}  // namespace lumenrail::test
