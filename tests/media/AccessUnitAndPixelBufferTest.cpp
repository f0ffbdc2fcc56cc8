#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "media/AccessUnit.hpp"
#include "media/H264SpsRewriter.hpp"
#include "media/PixelBufferPool.hpp"

namespace lumenrail {
namespace {

// The encoder's 320x240 Main SPS.
const Bytes kSps = {0x67, 0x4d, 0x40, 0x1f, 0xda, 0x05, 0x07, 0xe9, 0xb8, 0x08, 0x08, 0x0a, 0x00,
                    0x00, 0x03, 0x00, 0x02, 0x00, 0x00, 0x03, 0x00, 0x79, 0x1e, 0x30, 0x65, 0x40};

Bytes lengthPrefixed(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const Bytes& u : units) {
    const uint32_t n = static_cast<uint32_t>(u.size());
    out.insert(out.end(), {uint8_t(n >> 24), uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

Bytes annexB(std::initializer_list<Bytes> units) {
  Bytes out;
  for (const Bytes& u : units) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), u.begin(), u.end());
  }
  return out;
}

// x264's banner: user data unregistered (type 5) of 0x1fe bytes behind its id.
Bytes x264Banner() {
  Bytes sei = {0x06, 0x05, 0xff, 0xff, 0x00, 0xdc, 0x45, 0xe9, 0xbd, 0xe6, 0xd9, 0x48, 0xb7,
               0x96, 0x2c, 0xd8, 0x20, 0xd9, 0x23, 0xee, 0xef};
  const std::string text = "x264 - core 164 - H.264/MPEG-4 AVC codec";
  sei.insert(sei.end(), text.begin(), text.end());
  sei.resize(5 + 0x1fe, 0x20);
  sei.push_back(0x80);
  return sei;
}

TEST(AccessUnitWalk, H264UnitsGetStartCodesSpsIsRewrittenAndOnlyTheEncoderBannerDropped) {
  const Bytes pps = {0x68, 0xee, 0x3c, 0x80};
  const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x33};
  // Other user data, and a recovery point (type 6), are not the banner.
  const Bytes otherUserData = {0x06, 0x05, 0x11, 0xdc, 0x45, 0xe9, 0xbd, 0xe6, 0xd9, 0x48, 0xb7, 0x96,
                               0x2c, 0xd8, 0x20, 0xd9, 0x23, 0xee, 0xee, 0x01, 0x80};
  const Bytes recoveryPoint = {0x06, 0x06, 0x01, 0x84, 0x80};
  const Bytes truncated = {0x06, 0x05, 0xff};
  const auto rewritten = H264SpsRewriter::rewrite(kSps);
  ASSERT_TRUE(rewritten);
  ASSERT_NE(*rewritten, kSps);
  EXPECT_EQ(AccessUnit::fromLengthPrefixed(
                lengthPrefixed({kSps, pps, x264Banner(), otherUserData, recoveryPoint, truncated, idr}),
                Wire::Codec::h264),
            annexB({*rewritten, pps, otherUserData, recoveryPoint, truncated, idr}));
}

TEST(AccessUnitWalk, UnparsableSpsIsSentAsItCameAndHevcIsUntouched) {
  const Bytes cut(kSps.begin(), kSps.begin() + 8);
  EXPECT_EQ(AccessUnit::fromLengthPrefixed(lengthPrefixed({cut}), Wire::Codec::h264),
            (Bytes{0, 0, 0, 1, 0x67, 0x4d, 0x40, 0x1f, 0xda, 0x05, 0x07, 0xe9}));
  const Bytes vps = {0x40, 0x01, 0x0c};
  const Bytes prefixSei = {0x4e, 0x01, 0x05};
  EXPECT_EQ(AccessUnit::fromLengthPrefixed(lengthPrefixed({vps, prefixSei}), Wire::Codec::hevc),
            (Bytes{0, 0, 0, 1, 0x40, 0x01, 0x0c, 0, 0, 0, 1, 0x4e, 0x01, 0x05}));
}

TEST(AccessUnitWalk, ZeroOrOverlongLengthsEndTheUnitAtTheLastWholeNal) {
  const Bytes slice = {0x41, 0x9a, 0x01};
  // First length 0: nothing.
  EXPECT_TRUE(AccessUnit::fromLengthPrefixed(Bytes{0, 0, 0, 0, 0x41, 0x9a}, Wire::Codec::h264).empty());
  // A length past the end after one whole unit.
  Bytes data = lengthPrefixed({slice});
  data.insert(data.end(), {0, 0, 0, 9, 0x41, 0x01});
  EXPECT_EQ(AccessUnit::fromLengthPrefixed(data, Wire::Codec::h264), (Bytes{0, 0, 0, 1, 0x41, 0x9a, 0x01}));
  // The largest length does not wrap around.
  EXPECT_TRUE(AccessUnit::fromLengthPrefixed(Bytes{0xff, 0xff, 0xff, 0xff, 0x41}, Wire::Codec::hevc).empty());
  // Fewer than four bytes, or a dangling partial length.
  EXPECT_TRUE(AccessUnit::fromLengthPrefixed(Bytes{0, 0, 1}, Wire::Codec::h264).empty());
  data = lengthPrefixed({slice});
  data.insert(data.end(), {0, 0});
  EXPECT_EQ(AccessUnit::fromLengthPrefixed(data, Wire::Codec::h264), (Bytes{0, 0, 0, 1, 0x41, 0x9a, 0x01}));
}

TEST(PixelBuffer, PlanesAreAlignedAndSizedForEachFormat) {
  auto nv12 = PixelBuffer::make(PixelFormat::nv12FullRange, 33, 17);
  ASSERT_TRUE(nv12);
  EXPECT_EQ(nv12->planeCount(), 2);
  EXPECT_EQ(nv12->planeWidth(1), 17);
  EXPECT_EQ(nv12->planeHeight(1), 9);
  EXPECT_GE(nv12->bytesPerRow(1), 34);
  for (int p = 0; p < 2; ++p) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(nv12->planeData(p)) % 64, 0u);
    EXPECT_EQ(nv12->bytesPerRow(p) % 64, 0);
  }
  // Write every byte of both planes: ASan catches a plane that is too short.
  for (int p = 0; p < 2; ++p) {
    std::fill_n(nv12->planeData(p), nv12->bytesPerRow(p) * nv12->planeHeight(p), uint8_t{0x5a});
  }
  EXPECT_EQ(nv12->planeData(2), nullptr);
  EXPECT_EQ(nv12->bytesPerRow(-1), 0);

  auto bgra = PixelBuffer::make(PixelFormat::bgra, 17, 3);
  ASSERT_TRUE(bgra);
  EXPECT_EQ(bgra->planeCount(), 1);
  EXPECT_GE(bgra->bytesPerRow(0), 68);
  EXPECT_EQ(bgra->planeData(1), nullptr);

  EXPECT_FALSE(PixelBuffer::make(PixelFormat::bgra, 0, 10));
  EXPECT_FALSE(PixelBuffer::make(PixelFormat::bgra, 10, PixelBuffer::kMaxDimension + 1));
  EXPECT_EQ(pixelFormatFrom(0x34323066), PixelFormat::nv12FullRange);
  EXPECT_EQ(pixelFormatFrom(0x42475241), PixelFormat::bgra);
  EXPECT_FALSE(pixelFormatFrom(0x79343230));
}

TEST(PixelBufferPool, ThresholdBoundsHeldBuffersAndReturnedOnesAreReused) {
  auto pool = PixelBufferPool::make(PixelFormat::nv12FullRange, 64, 32);
  ASSERT_TRUE(pool);
  std::vector<PixelBufferRef> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(pool->createBuffer(3));
    ASSERT_TRUE(held.back());
  }
  EXPECT_FALSE(pool->createBuffer(3));
  EXPECT_TRUE(pool->createBuffer(4));  // given and dropped at once
  const PixelBuffer* first = held[0].get();
  held.erase(held.begin());
  EXPECT_EQ(pool->outstanding(), 2);
  auto again = pool->createBuffer(3);
  ASSERT_TRUE(again);
  // The free list is last in, first out: the buffer just returned comes back.
  EXPECT_EQ(again.get(), first);
  EXPECT_EQ(pool->outstanding(), 3);
  EXPECT_EQ(again->width(), 64);
  EXPECT_FALSE(PixelBufferPool::make(PixelFormat::bgra, 0, 1));
}

TEST(PixelBufferPool, BuffersOutliveThePoolAndTravelBetweenThreads) {
  PixelBufferRef survivor;
  {
    auto pool = PixelBufferPool::make(PixelFormat::bgra, 16, 16);
    survivor = pool->createBuffer(16);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([pool] {
        for (int i = 0; i < 200; ++i) {
          auto b = pool->createBuffer(8);
          if (b) b->planeData(0)[0] = static_cast<uint8_t>(i);
        }
      });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(pool->outstanding(), 1);
  }
  survivor->planeData(0)[survivor->bytesPerRow(0) * 16 - 1] = 1;  // still valid memory
  survivor.reset();
}

}  // namespace
}  // namespace lumenrail
