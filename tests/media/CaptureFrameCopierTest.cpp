#include "media/CaptureFrameCopier.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "media/SyntheticFrameSource.hpp"
#include "support/EventLog.hpp"
#include "support/TestPictures.hpp"

namespace lumenrail {
namespace {

using test::isUniformBgra;
using test::isUniformNv12;
using test::kGreenFull;
using test::kRedFull;
using test::kRedVideo;
using test::solidBgrx;

TEST(CaptureFrameCopier, ConvertsBgrxToFullAndVideoRangeNv12AndOpaqueBgra) {
  const auto red = solidBgrx(64, 48, 0xff0000);
  CaptureFrameCopier full(64, 48, PixelFormat::nv12FullRange, [] { return uint64_t(0); });
  auto a = full.copy(red.data(), 64 * 4, 64, 48);
  ASSERT_TRUE(a);
  EXPECT_TRUE(isUniformNv12(*a, kRedFull));

  CaptureFrameCopier video(64, 48, PixelFormat::nv12VideoRange, [] { return uint64_t(0); });
  auto b = video.copy(red.data(), 64 * 4, 64, 48);
  ASSERT_TRUE(b);
  EXPECT_TRUE(isUniformNv12(*b, kRedVideo));

  CaptureFrameCopier same(64, 48, PixelFormat::bgra, [] { return uint64_t(0); });
  auto c = same.copy(red.data(), 64 * 4, 64, 48);
  ASSERT_TRUE(c);
  EXPECT_TRUE(isUniformBgra(*c, 0, 0, 255));

  // Scaled down, and from a source whose rows are padded.
  std::vector<uint8_t> padded(size_t(80 * 4) * 48);
  for (int y = 0; y < 48; ++y) std::memcpy(&padded[size_t(y) * 80 * 4], &red[size_t(y) * 64 * 4], 64 * 4);
  CaptureFrameCopier scaled(32, 24, PixelFormat::bgra, [] { return uint64_t(0); });
  auto d = scaled.copy(padded.data(), 80 * 4, 64, 48);
  ASSERT_TRUE(d);
  EXPECT_EQ(d->width(), 32);
  EXPECT_TRUE(isUniformBgra(*d, 0, 0, 255));

  // A source that changes size mid-stream still lands at the stream's size.
  const auto green = solidBgrx(96, 72, 0x00ff00);
  auto e = full.copy(green.data(), 96 * 4, 96, 72);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->width(), 64);
  EXPECT_EQ(e->height(), 48);
  EXPECT_TRUE(isUniformNv12(*e, kGreenFull));
}

TEST(CaptureFrameCopier, SeventeenthHeldFrameIsDroppedWithOneLinePerSecond) {
  uint64_t clock = 0;  // the first drop is told even this early
  test::EventLog log;
  CaptureFrameCopier copier(
      16, 16, PixelFormat::nv12FullRange, [&] { return clock; }, [&](const std::string& l) { log.add(l); });
  const auto red = solidBgrx(16, 16, 0xff0000);
  std::vector<PixelBufferRef> held;
  for (int i = 0; i < 16; ++i) {
    held.push_back(copier.copy(red.data(), 64, 16, 16));
    ASSERT_TRUE(held.back()) << i;
  }
  EXPECT_FALSE(copier.copy(red.data(), 64, 16, 16));
  clock = 500 * kNsPerMs;
  EXPECT_FALSE(copier.copy(red.data(), 64, 16, 16));
  clock = kNsPerSecond;  // exactly one second later: not yet
  EXPECT_FALSE(copier.copy(red.data(), 64, 16, 16));
  clock = kNsPerSecond + 1;
  EXPECT_FALSE(copier.copy(red.data(), 64, 16, 16));
  EXPECT_EQ(copier.dropCount(), 4u);
  EXPECT_EQ(log.lines(),
            (std::vector<std::string>{
                "[sck] copy-out failed \u2014 frame DROPPED (1 total); delivery pool exhausted or unreadable plane",
                "[sck] copy-out failed \u2014 frame DROPPED (4 total); delivery pool exhausted or unreadable plane"}));

  held.pop_back();
  EXPECT_TRUE(copier.copy(red.data(), 64, 16, 16));
  // Bad input is a drop, never a read past the picture.
  held.clear();
  EXPECT_FALSE(copier.copy(red.data(), 8, 16, 16));
  EXPECT_FALSE(copier.copy(nullptr, 64, 16, 16));
}

TEST(SyntheticFrameSource, GradientMovesByFourPerIndexAndWraps) {
  SyntheticFrameSource source(2, 2);
  auto pixels = [&](int64_t index) {
    auto f = source.makeFrame(index);
    std::vector<int> out;
    for (int y = 0; y < 2; ++y) {
      for (int x = 0; x < 2; ++x) {
        for (int c = 0; c < 4; ++c) out.push_back(f->planeData(0)[y * f->bytesPerRow(0) + x * 4 + c]);
      }
    }
    return out;
  };
  EXPECT_EQ(pixels(0), (std::vector<int>{0, 0, 0, 255, 1, 0, 1, 255, 0, 1, 1, 255, 1, 1, 2, 255}));
  EXPECT_EQ(pixels(1), (std::vector<int>{4, 4, 4, 255, 5, 4, 5, 255, 4, 5, 5, 255, 5, 5, 6, 255}));
  EXPECT_EQ(pixels(64), pixels(0));
  EXPECT_EQ(pixels(-1), (std::vector<int>{252, 252, 252, 255, 253, 252, 253, 255, 252, 253, 253, 255, 253, 253, 254,
                                          255}));

  SyntheticFrameSource big(300, 3);
  auto f = big.makeFrame(0);
  ASSERT_TRUE(f);
  const uint8_t* p = f->planeData(0) + 2 * f->bytesPerRow(0) + 299 * 4;  // x 299, y 2
  EXPECT_EQ(int(p[0]), 299 % 256);
  EXPECT_EQ(int(p[1]), 2);
  EXPECT_EQ(int(p[2]), 301 % 256);

  SyntheticFrameSource none(0, 10);
  EXPECT_FALSE(none.pool);
  EXPECT_FALSE(none.makeFrame(0));
}

}  // namespace
}  // namespace lumenrail
