// Every builder against bytes written out by hand from the packet tables.
#include <gtest/gtest.h>

#include "wire/Wire.hpp"

namespace lumenrail {
namespace {

Bytes seq(size_t n, uint8_t start = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
  return b;
}

TEST(WireBuilders, PacketFramesTypeAndLittleEndianLength) {
  EXPECT_EQ(Wire::packet(Wire::PacketType::clientInfo, Bytes{0xAA, 0xBB}),
            (Bytes{0x14, 0x02, 0x00, 0x00, 0x00, 0xAA, 0xBB}));
  EXPECT_EQ(Wire::packet(Wire::PacketType::requestIdr, Bytes{}), (Bytes{0x05, 0, 0, 0, 0}));
  const Bytes big(0x012345, 7);
  const Bytes framed = Wire::packet(Wire::PacketType::frame, big);
  ASSERT_EQ(framed.size(), 5u + 0x012345);
  EXPECT_EQ(Bytes(framed.begin(), framed.begin() + 5), (Bytes{0x03, 0x45, 0x23, 0x01, 0x00}));
}

TEST(WireBuilders, Hello) {
  Wire::HelloParams p;
  p.codec = Wire::Codec::hevc;
  p.width = 2732;
  p.height = 2048;
  p.frameRateNum = 120;
  p.frameRateDen = 1;
  p.bitrateBps = 12'000'000;
  p.qpcFrequency = 1'000'000'000;
  const Bytes expected = {
      0x01, 0x20, 0x00, 0x00, 0x00,                    // header: hello, 32 bytes
      0x02, 0x01, 0x02, 0x00,                          // version 2, hevc, host OS 2, reserved
      0xAC, 0x0A, 0x00, 0x00,                          // 2732
      0x00, 0x08, 0x00, 0x00,                          // 2048
      0x78, 0x00, 0x00, 0x00,                          // 120
      0x01, 0x00, 0x00, 0x00,                          // 1
      0x00, 0x1B, 0xB7, 0x00,                          // 12 000 000
      0x00, 0xCA, 0x9A, 0x3B, 0x00, 0x00, 0x00, 0x00,  // 1 000 000 000
  };
  EXPECT_EQ(Wire::hello(p), expected);
}

TEST(WireBuilders, FrameAndFramePayloadShareOneLayout) {
  const Bytes au = {0x00, 0x00, 0x00, 0x01, 0x65, 0x88};
  const Bytes payload = {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01,  // ticks
                         0x01, 0x00, 0x00, 0x00,                          // keyframe, reserved
                         0x00, 0x00, 0x00, 0x01, 0x65, 0x88};
  EXPECT_EQ(Wire::framePayload(0x0102030405060708ULL, true, au), payload);
  Bytes packet = {0x03, 0x12, 0x00, 0x00, 0x00};
  packet.insert(packet.end(), payload.begin(), payload.end());
  EXPECT_EQ(Wire::frame(0x0102030405060708ULL, true, au), packet);
  EXPECT_EQ(Wire::frame(5, false, Bytes{})[13], 0x00);
  EXPECT_EQ(Wire::frame(5, false, Bytes{}).size(), 17u);
}

TEST(WireBuilders, FrameChunksOfSmallAndBoundarySizes) {
  // Empty payload: one header-only chunk, total 0, last 1.
  auto chunks = Wire::frameChunks(0xDEADBEEF, Bytes{}, Wire::frameChunkMaxData);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0], (Bytes{0x0C, 0x10, 0, 0, 0, 0xEF, 0xBE, 0xAD, 0xDE, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0}));

  // Five bytes in chunks of two: offsets 0, 2, 4; the last carries one byte.
  chunks = Wire::frameChunks(7, seq(5, 0xA0), 2);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0], (Bytes{0x0C, 0x12, 0, 0, 0, 7, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xA0, 0xA1}));
  EXPECT_EQ(chunks[1], (Bytes{0x0C, 0x12, 0, 0, 0, 7, 0, 0, 0, 5, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0xA2, 0xA3}));
  EXPECT_EQ(chunks[2], (Bytes{0x0C, 0x11, 0, 0, 0, 7, 0, 0, 0, 5, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 0xA4}));

  // Exactly one full chunk, then one byte more.
  chunks = Wire::frameChunks(1, Bytes(16384, 0x55));
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0].size(), 5u + 16 + 16384);
  EXPECT_EQ(chunks[0][17], 1);
  chunks = Wire::frameChunks(1, Bytes(16385, 0x55));
  ASSERT_EQ(chunks.size(), 2u);
  EXPECT_EQ(chunks[0][17], 0);
  EXPECT_EQ(Bytes(chunks[1].begin(), chunks[1].begin() + 22),
            (Bytes{0x0C, 0x11, 0, 0, 0, 1, 0, 0, 0, 0x01, 0x40, 0, 0, 0x00, 0x40, 0, 0, 1, 0, 0, 0, 0x55}));
  EXPECT_EQ(chunks[1].size(), 22u);

  EXPECT_THROW(Wire::frameChunks(1, Bytes{1}, 0), std::invalid_argument);
}

TEST(WireBuilders, ChunksReassembleToTheFramePayload) {
  const Bytes payload = seq(100'003, 3);
  for (size_t size : {size_t{1}, size_t{7}, size_t{16384}, size_t{100'003}, size_t{200'000}}) {
    Bytes joined;
    for (const Bytes& c : Wire::frameChunks(42, payload, size)) {
      ASSERT_EQ(c[0], 0x0C);
      const uint32_t len = Wire::readLE32(c, 1);
      ASSERT_EQ(len + 5, c.size());
      ASSERT_EQ(Wire::readLE32(c, 13), joined.size());  // offset
      joined.insert(joined.end(), c.begin() + 21, c.end());
    }
    EXPECT_EQ(joined, payload) << "chunk size " << size;
  }
}

TEST(WireBuilders, Audio) {
  EXPECT_EQ(Wire::audio(0x1122334455667788ULL, Wire::AudioCodec::aacLC, true, 2, 48000, Bytes{0x11, 0x90}),
            (Bytes{0x02, 0x12, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00, 0x01, 0x02, 0x00,
                   0x80, 0xBB, 0x00, 0x00, 0x11, 0x90}));
  EXPECT_EQ(Wire::audio(1, Wire::AudioCodec::pcmS16, false, 1, 44100, Bytes{}),
            (Bytes{0x02, 0x10, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0x01, 0x00, 0x44, 0xAC, 0x00, 0x00}));
}

TEST(WireBuilders, SmallControlPackets) {
  EXPECT_EQ(Wire::advisory(3, 4, 8, Wire::AdvisoryFlag::count | Wire::AdvisoryFlag::degraded),
            (Bytes{0x08, 4, 0, 0, 0, 3, 4, 8, 3}));
  EXPECT_EQ(Wire::advisory(300, -2, 255, 0), (Bytes{0x08, 4, 0, 0, 0, 255, 0, 255, 0}));
  EXPECT_EQ(Wire::bye(), (Bytes{0x09, 0, 0, 0, 0}));
  EXPECT_EQ(Wire::bye(3), (Bytes{0x09, 1, 0, 0, 0, 3}));
  EXPECT_EQ(Wire::inkObserved(0x0102), (Bytes{0x0A, 8, 0, 0, 0, 0x02, 0x01, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire::timeSyncReply(0xFFFFFFFFFFFFFFFFULL, 0x10),
            (Bytes{0x06, 16, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x10, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Wire::viewportApplied({0x0102, 0x0304, 0x8000, 0xFFFF}),
            (Bytes{0x18, 8, 0, 0, 0, 0x02, 0x01, 0x04, 0x03, 0x00, 0x80, 0xFF, 0xFF}));
}

TEST(WireBuilders, EncoderConfigAppliedMasksClampsAndQuantises) {
  Wire::EncoderConfigRequest r;
  r.fields = 0xFF;
  r.quality = 0.5f;
  r.fpsCap = 300;
  r.bitrateKbps = 0x01020304;
  EXPECT_EQ(Wire::encoderConfigApplied(r), (Bytes{0x1D, 8, 0, 0, 0, 0x07, 128, 255, 0, 0x04, 0x03, 0x02, 0x01}));
  r.fields = Wire::EncoderField::bitrate;
  r.quality = -1;
  r.fpsCap = -5;
  r.bitrateKbps = -1;
  EXPECT_EQ(Wire::encoderConfigApplied(r), (Bytes{0x1D, 8, 0, 0, 0, 0x04, 0, 0, 0, 0, 0, 0, 0}));
  // A value past 32 bits is held at the field's maximum, never wrapped to a tiny rate.
  r.bitrateKbps = (int64_t{1} << 32) + 5;
  EXPECT_EQ(Wire::encoderConfigApplied(r), (Bytes{0x1D, 8, 0, 0, 0, 0x04, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(WireBuilders, QualityQuantisation) {
  EXPECT_EQ(Wire::quantizeQuality(0.5f), 128);
  EXPECT_EQ(Wire::quantizeQuality(1.2f), 255);
  EXPECT_EQ(Wire::quantizeQuality(1.0f), 255);
  EXPECT_EQ(Wire::quantizeQuality(-1.0f), 0);
  EXPECT_EQ(Wire::quantizeQuality(0.0f), 0);
  EXPECT_EQ(Wire::quantizeQuality(std::numeric_limits<float>::quiet_NaN()), 255);
  EXPECT_EQ(Wire::quantizeQuality(-std::numeric_limits<float>::infinity()), 0);
  EXPECT_EQ(Wire::quantizeQuality(0.001f), 0);
  EXPECT_EQ(Wire::quantizeQuality(0.002f), 1);  // 0.51 rounds to 1
  for (int b = 0; b < 256; ++b) EXPECT_EQ(Wire::quantizeQuality(Wire::dequantizeQuality(b)), b);
}

TEST(WireBuilders, ForegroundAppNormalisesTheName) {
  EXPECT_EQ(Wire::normalizeForegroundName("/Applications/Some App.app"), "some app.app");
  EXPECT_EQ(Wire::normalizeForegroundName("C:\\Tools\\Draw.EXE"), "draw.exe");
  EXPECT_EQ(Wire::normalizeForegroundName("  Mixed\tCase  "), "mixedcase");
  EXPECT_EQ(Wire::normalizeForegroundName("\xC3\x89tude"), "\xC3\x89tude");  // only ASCII letters fold
  EXPECT_EQ(Wire::normalizeForegroundName(std::string(70, 'A')), std::string(63, 'a'));
  // A two-byte letter cut at byte 63 becomes one replacement character.
  const std::string cut = std::string(62, 'x') + "\xC3\xA9";
  EXPECT_EQ(Wire::normalizeForegroundName(cut), std::string(62, 'x') + "\xEF\xBF\xBD");
  EXPECT_EQ(Wire::foregroundApp("\x01\x02\x7F"), std::nullopt);
  EXPECT_EQ(Wire::foregroundApp("dir/"), std::nullopt);
  EXPECT_EQ(Wire::foregroundApp("/usr/bin/Kate"), (Bytes{0x0D, 4, 0, 0, 0, 'k', 'a', 't', 'e'}));
}

TEST(WireBuilders, EnumerationsMapOnlyTheirOwnCodes) {
  int known = 0;
  for (int code = 0; code < 256; ++code) {
    if (auto t = Wire::from<Wire::PacketType>(static_cast<uint8_t>(code))) {
      EXPECT_EQ(Wire::rawValue(*t), code);
      ++known;
    }
  }
  EXPECT_EQ(known, 22);
  EXPECT_EQ(Wire::from<Wire::PacketType>(0x04), std::nullopt);
  EXPECT_EQ(Wire::from<Wire::PacketType>(0x20), Wire::PacketType::peerVersion);
  EXPECT_EQ(Wire::from<Wire::Codec>(1), Wire::Codec::hevc);
  EXPECT_EQ(Wire::from<Wire::Codec>(2), std::nullopt);
  EXPECT_EQ(Wire::from<Wire::AudioCodec>(2), std::nullopt);
  EXPECT_EQ(Wire::from<Wire::PenTool>(3), Wire::PenTool::unknown);
  EXPECT_EQ(Wire::from<Wire::PenTool>(4), std::nullopt);
  EXPECT_EQ(Wire::from<Wire::KeyComboAction>(3), std::nullopt);
}

}  // namespace
}  // namespace lumenrail
