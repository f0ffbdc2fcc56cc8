#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "media/AacEncoder.hpp"
#include "media/PcmS16Packer.hpp"
#include "support/EventLog.hpp"
#include "support/TestAudio.hpp"

namespace lumenrail {
namespace {

Bytes floatBytes(std::initializer_list<float> values) {
  Bytes bytes(values.size() * 4);
  size_t i = 0;
  for (float v : values) std::memcpy(&bytes[4 * i++], &v, 4);
  return bytes;
}

struct PackedBlock {
  Bytes bytes;
  uint64_t captureNs;
};

struct PackerHarness {
  PcmS16Packer packer;
  std::vector<PackedBlock> blocks;
  test::EventLog log;
  PackerHarness() {
    packer.onPcm = [this](ByteView b, uint64_t ns) { blocks.push_back({Bytes(b.begin(), b.end()), ns}); };
    packer.log = [this](const std::string& line) { log.add(line); };
  }
};

TEST(PcmS16Packer, ConvertsFloatSamplesWithClampingAndTruncation) {
  EXPECT_EQ(PcmS16Packer::toS16(1.0f), 32767);
  EXPECT_EQ(PcmS16Packer::toS16(2.0f), 32767);
  EXPECT_EQ(PcmS16Packer::toS16(-1.0f), -32767);
  EXPECT_EQ(PcmS16Packer::toS16(-1.5f), -32768);
  EXPECT_EQ(PcmS16Packer::toS16(0.9f / 32767.0f), 0);
  EXPECT_EQ(PcmS16Packer::toS16(-0.9f / 32767.0f), 0);
  EXPECT_EQ(PcmS16Packer::toS16(0.5f), 16383);
  EXPECT_EQ(PcmS16Packer::toS16(std::nanf("")), 0);
}

TEST(PcmS16Packer, InterleavedFloatGivesLittleEndianBytes) {
  PackerHarness h;
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat::float32Interleaved(48000, 2);
  buffer.frames = 2;
  buffer.buffers = {floatBytes({1.0f, -1.0f, 0.5f, -1.5f})};
  h.packer.pack(buffer, 77);
  ASSERT_EQ(h.blocks.size(), 1u);
  // 32767, -32767, 16383, -32768
  EXPECT_EQ(h.blocks[0].bytes, (Bytes{0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x3F, 0x00, 0x80}));
  EXPECT_EQ(h.blocks[0].captureNs, 77u);
  EXPECT_EQ(h.packer.channels(), 2);
  EXPECT_EQ(h.packer.sampleRate(), 48000);
}

TEST(PcmS16Packer, NonInterleavedStereoAlternatesChannels) {
  PackerHarness h;
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat{44100.7, AudioFormatFlag::isFloat | AudioFormatFlag::isNonInterleaved, 2, 32};
  buffer.frames = 480;
  Bytes left(480 * 4), right(480 * 4);
  for (int j = 0; j < 480; ++j) {
    const float l = static_cast<float>(j) / 32767.0f + 0.1f / 32767.0f;
    const float r = -static_cast<float>(j) / 32767.0f - 0.1f / 32767.0f;
    std::memcpy(&left[4 * j], &l, 4);
    std::memcpy(&right[4 * j], &r, 4);
  }
  buffer.buffers = {left, right};
  h.packer.pack(buffer, 5);
  ASSERT_EQ(h.blocks.size(), 1u);
  const Bytes& out = h.blocks[0].bytes;
  ASSERT_EQ(out.size(), 1920u);
  for (int j = 0; j < 480; ++j) {
    const int16_t l = static_cast<int16_t>(out[4 * j] | out[4 * j + 1] << 8);
    const int16_t r = static_cast<int16_t>(out[4 * j + 2] | out[4 * j + 3] << 8);
    ASSERT_EQ(l, j) << j;
    ASSERT_EQ(r, -j) << j;
  }
  EXPECT_EQ(h.packer.sampleRate(), 44100);
}

TEST(PcmS16Packer, Signed16InterleavedPassesThroughByteForByte) {
  PackerHarness h;
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat{48000, AudioFormatFlag::isSignedInteger, 1, 16};
  buffer.frames = 3;
  buffer.buffers = {Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xEE}};
  h.packer.pack(buffer, 9);
  ASSERT_EQ(h.blocks.size(), 1u);
  EXPECT_EQ(h.blocks[0].bytes, (Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06}));
}

TEST(PcmS16Packer, UnsupportedFormatWarnsOnceAndNeverEmits) {
  PackerHarness h;
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat{48000, AudioFormatFlag::isSignedInteger | AudioFormatFlag::isNonInterleaved, 2, 24};
  buffer.frames = 2;
  buffer.buffers = {Bytes(6), Bytes(6)};
  h.packer.pack(buffer, 1);
  h.packer.pack(buffer, 2);
  EXPECT_TRUE(h.blocks.empty());
  EXPECT_EQ(h.log.lines(),
            std::vector<std::string>{"[audio] cannot pack PCM: 24-bit int non-interleaved — no PCM audio this session"});

  PackerHarness interleaved;
  buffer.format = AudioStreamFormat{48000, AudioFormatFlag::isSignedInteger, 2, 24};
  interleaved.packer.pack(buffer, 1);
  EXPECT_EQ(interleaved.log.lines(),
            std::vector<std::string>{"[audio] cannot pack PCM: 24-bit int — no PCM audio this session"});
}

TEST(PcmS16Packer, BuffersShorterThanTheirFrameCountAreDropped) {
  PackerHarness h;
  AudioSampleBuffer buffer;
  buffer.format = AudioStreamFormat::float32Interleaved(48000, 2);
  buffer.frames = 3;  // claims 24 bytes, holds 16
  buffer.buffers = {floatBytes({0.1f, 0.2f, 0.3f, 0.4f})};
  h.packer.pack(buffer, 1);
  buffer.frames = int64_t{1} << 62;  // would overflow any size computed from it
  h.packer.pack(buffer, 2);
  buffer.format->formatFlags |= AudioFormatFlag::isNonInterleaved;
  buffer.frames = 4;
  h.packer.pack(buffer, 3);  // one plane for two channels
  buffer.frames = 0;
  h.packer.pack(buffer, 4);
  buffer.format.reset();
  buffer.frames = 1;
  h.packer.pack(buffer, 5);
  EXPECT_TRUE(h.blocks.empty());
  EXPECT_TRUE(h.log.lines().empty());
}

struct AacHarness {
  AacEncoder encoder;
  std::vector<PackedBlock> packets;
  explicit AacHarness(int64_t rate = 48000, int64_t channels = 2) : encoder(rate, channels) {
    encoder.onAac = [this](ByteView b, uint64_t ns) { packets.push_back({Bytes(b.begin(), b.end()), ns}); };
  }
};

TEST(AacEncoder, DecoderConfigurationIsTheAudioSpecificConfig) {
  // object type 2 (LC), frequency index 3 (48 kHz), channel configuration 2,
  // then the sync extension 0x2b7 with object type 5 (SBR) marked absent.
  EXPECT_EQ(AacEncoder(48000, 2).decoderConfiguration(), (Bytes{0x11, 0x90, 0x56, 0xE5, 0x00}));
  // frequency index 4 (44.1 kHz), one channel
  EXPECT_EQ(AacEncoder(44100, 1).decoderConfiguration(), (Bytes{0x12, 0x08, 0x56, 0xE5, 0x00}));
  EXPECT_EQ(AacEncoder(48000, 0).decoderConfiguration(), std::nullopt);
  EXPECT_THROW(AacEncoder(48000, -1), std::invalid_argument);
  EXPECT_THROW(AacEncoder(48000, int64_t{1} << 32), std::invalid_argument);
}

TEST(AacEncoder, ToneSurvivesEncodeAndDecode) {
  AacHarness h;
  // 10 ms buffers: the first ones fill the encoder's frame and priming and
  // give no packet, which must not drop anything.
  for (int i = 0; i < 100; ++i) {
    h.encoder.encode(test::sineBuffer(48000, 2, 1000, i * 480, 480), 1000 + uint64_t(i) * 10'000'000);
  }
  ASSERT_GT(h.packets.size(), 40u);
  for (size_t i = 1; i < h.packets.size(); ++i) EXPECT_GE(h.packets[i].captureNs, h.packets[i - 1].captureNs);

  const auto config = h.encoder.decoderConfiguration();
  ASSERT_TRUE(config);
  test::TestAacDecoder decoder(*config);
  ASSERT_TRUE(decoder.ok());
  for (const auto& p : h.packets) {
    ASSERT_NE(p.bytes.size(), 0u);
    // Raw access units: no ADTS sync word.
    EXPECT_FALSE(p.bytes.size() >= 2 && p.bytes[0] == 0xFF && (p.bytes[1] & 0xF0) == 0xF0);
    ASSERT_TRUE(decoder.decode(p.bytes));
  }
  EXPECT_EQ(decoder.sampleRate(), 48000);
  EXPECT_EQ(decoder.channels(), 2);
  ASSERT_GT(decoder.samples.size(), 4096u);
  const std::vector<float> steady(decoder.samples.begin() + 2048, decoder.samples.end() - 1024);
  EXPECT_NEAR(test::zeroCrossingHz(steady, 48000), 1000, 20);
  float peak = 0;
  for (float s : steady) peak = std::max(peak, std::abs(s));
  EXPECT_NEAR(peak, 0.5f, 0.1f);
}

// A click captured at a known time is heard, after decoding, at the time its
// packet claims: the stamp names the packet's own audio, not the buffer fed
// last (which runs a few packets ahead, by the library's priming and queue).
TEST(AacEncoder, PacketsCarryTheCaptureTimeOfTheAudioTheyHold) {
  for (const double rate : {48000.0, 44100.0}) {
    SCOPED_TRACE(rate);
    AacHarness h;
    const int64_t perBuffer = int64_t(rate / 100);  // 10 ms
    const uint64_t t0 = 7'000'000'000;
    const int64_t clickAt = int64_t(rate / 2) + 123;
    for (int64_t i = 0; i < 100; ++i) {
      AudioSampleBuffer b = test::sineBuffer(rate, 2, 3000, i * perBuffer, perBuffer, 0.0f);
      for (int64_t f = 0; f < perBuffer; ++f) {
        const int64_t n = i * perBuffer + f - clickAt;
        if (n < 0 || n >= int64_t(rate / 500)) continue;  // a 2 ms burst
        const float v = 0.8f * float(std::sin(2 * M_PI * 3000 * double(n) / rate));
        std::memcpy(&b.buffers[0][size_t(f) * 8], &v, 4);
        std::memcpy(&b.buffers[0][size_t(f) * 8 + 4], &v, 4);
      }
      h.encoder.encode(b, t0 + uint64_t(i) * 10'000'000);
    }
    const auto config = h.encoder.decoderConfiguration();
    ASSERT_TRUE(config);
    test::TestAacDecoder decoder(*config);
    std::optional<double> heardNs;
    for (const auto& p : h.packets) {
      const size_t before = decoder.samples.size();
      ASSERT_TRUE(decoder.decode(p.bytes));
      for (size_t j = before; j < decoder.samples.size() && !heardNs; ++j) {
        if (std::abs(decoder.samples[j]) > 0.2f) heardNs = double(p.captureNs) + double(j - before) * 1e9 / 48000;
      }
    }
    ASSERT_TRUE(heardNs);
    const double capturedNs = double(t0) + double(clickAt) * 1e9 / rate;
    EXPECT_NEAR(*heardNs, capturedNs, 1024 * 1e9 / 48000);
  }
}

TEST(AacEncoder, InputRateChangeRebuildsTheConverterOnlyAtTheChange) {
  AacHarness h;
  for (int i = 0; i < 40; ++i) h.encoder.encode(test::sineBuffer(48000, 2, 1500, i * 480, 480), 1);
  EXPECT_EQ(h.encoder.converterBuilds(), 1);
  for (int i = 0; i < 60; ++i) h.encoder.encode(test::sineBuffer(44100, 2, 1500, i * 441, 441), 2);
  EXPECT_EQ(h.encoder.converterBuilds(), 2);

  test::TestAacDecoder decoder(*h.encoder.decoderConfiguration());
  for (const auto& p : h.packets) ASSERT_TRUE(decoder.decode(p.bytes));
  // The 44.1 kHz tail was resampled to 48 kHz: still a 1500 Hz tone.
  ASSERT_GT(decoder.samples.size(), 6000u);
  const std::vector<float> tail(decoder.samples.end() - 3072, decoder.samples.end() - 1024);
  EXPECT_NEAR(test::zeroCrossingHz(tail, 48000), 1500, 40);
}

TEST(AacEncoder, MonoInterleavedInt16InputIsRemixedToStereo) {
  AacHarness h;
  for (int i = 0; i < 50; ++i) {
    AudioSampleBuffer buffer;
    buffer.format = AudioStreamFormat{48000, AudioFormatFlag::isSignedInteger, 1, 16};
    buffer.frames = 480;
    Bytes bytes(960);
    for (int j = 0; j < 480; ++j) {
      const auto v = static_cast<int16_t>(12000 * std::sin(2 * M_PI * 800 * (i * 480 + j) / 48000.0));
      bytes[2 * j] = static_cast<uint8_t>(v & 0xFF);
      bytes[2 * j + 1] = static_cast<uint8_t>((v >> 8) & 0xFF);
    }
    buffer.buffers = {bytes};
    h.encoder.encode(buffer, 1);
  }
  test::TestAacDecoder decoder(*h.encoder.decoderConfiguration());
  for (const auto& p : h.packets) ASSERT_TRUE(decoder.decode(p.bytes));
  ASSERT_GT(decoder.samples.size(), 4096u);
  const std::vector<float> steady(decoder.samples.begin() + 2048, decoder.samples.end() - 1024);
  EXPECT_NEAR(test::zeroCrossingHz(steady, 48000), 800, 20);
}

TEST(AacEncoder, HostileBuffersAreDroppedWithoutOutput) {
  AacHarness h;
  AudioSampleBuffer buffer = test::sineBuffer(48000, 2, 1000, 0, 480);
  buffer.frames = 4800;  // more than the bytes hold
  for (int i = 0; i < 10; ++i) h.encoder.encode(buffer, 1);
  buffer.frames = int64_t{1} << 40;
  h.encoder.encode(buffer, 1);
  buffer.frames = 480;
  buffer.format->bitsPerChannel = 24;  // no converter for this: dropped
  h.encoder.encode(buffer, 1);
  buffer.format.reset();
  h.encoder.encode(buffer, 1);
  EXPECT_TRUE(h.packets.empty());

  AacHarness unopenable(12345, 2);
  for (int i = 0; i < 10; ++i) unopenable.encoder.encode(test::sineBuffer(48000, 2, 1000, i * 480, 480), 1);
  EXPECT_TRUE(unopenable.packets.empty());
}

}  // namespace
}  // namespace lumenrail
