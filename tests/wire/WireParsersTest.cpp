// Every parser against payloads written out by hand, plus hostile input.
#include <gtest/gtest.h>

#include <random>

#include "platform/Utf8.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {
namespace {

TEST(WireParsers, ClientCapsModeAndInputCaps) {
  EXPECT_EQ(Wire::parseClientCaps(Bytes{0x0F, 0, 0, 0}), 15u);
  EXPECT_EQ(Wire::parseClientCaps(Bytes{0x01, 0, 0, 0x80, 0xEE}), 0x80000001u);
  EXPECT_EQ(Wire::parseClientCaps(Bytes{1, 0, 0}), std::nullopt);

  EXPECT_EQ(Wire::parseClientMode(Bytes{0x80, 0x07, 0, 0, 0x38, 0x04, 0, 0, 0x78, 0, 0, 0}),
            (Wire::ClientMode{1920, 1080, 120}));
  EXPECT_EQ(Wire::parseClientMode(Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 9}),
            (Wire::ClientMode{0xFFFFFFFF, 0, 0}));
  EXPECT_EQ(Wire::parseClientMode(Bytes(11, 0)), std::nullopt);

  EXPECT_EQ(Wire::parseInputCaps(Bytes{0x07, 0, 0, 0, 0xFF, 0x0F, 10, 0xEE}), (Wire::InputCaps{7, 4095, 10}));
  EXPECT_EQ(Wire::parseInputCaps(Bytes(7, 0)), std::nullopt);
}

TEST(WireParsers, InputSamplesAndPointers) {
  const Bytes payload = {
      2, 0xEE,                                      // two samples, reserved
      0x10, 0x27, 0, 0, 2, 0xEE, 0xEE, 0xEE,        // tDeltaUs 10000, two pointers
      1, 0, 0x03, 0xEE, 0x00, 0x80, 0xFF, 0xFF,     // id 1, pen, inRange|inContact, x 0x8000, y 0xFFFF
      0x34, 0x12, 0x18, 0xFC, 0xE8, 0x03, 0x28, 0x23,  // pressure 0x1234, tiltX -1000, tiltY 1000, orient 9000
      9, 7, 0x0F, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // id 9, tool 7 reads as unknown
      0, 0, 0, 0, 0, 0, 0, 0,                       // tDeltaUs 0, no pointers
      0xAB,                                         // trailing byte ignored
  };
  const auto samples = Wire::parseInput(payload);
  ASSERT_TRUE(samples);
  ASSERT_EQ(samples->size(), 2u);
  const auto& s0 = (*samples)[0];
  EXPECT_EQ(s0.tDeltaUs, 10000u);
  ASSERT_EQ(s0.pointers.size(), 2u);
  EXPECT_EQ(s0.pointers[0], (Wire::InputPointer{1, Wire::PenTool::pen, 3, 0x8000, 0xFFFF, 0x1234, -1000, 1000, 9000}));
  EXPECT_EQ(s0.pointers[1].pointerId, 9);
  EXPECT_EQ(s0.pointers[1].tool, Wire::PenTool::unknown);
  EXPECT_EQ(s0.pointers[1].flags, 0x0F);
  EXPECT_TRUE((*samples)[1].pointers.empty());

  EXPECT_EQ(Wire::parseInput(Bytes{0, 0}), std::vector<Wire::InputSample>{});
  EXPECT_EQ(Wire::parseInput(Bytes{0}), std::nullopt);
  EXPECT_EQ(Wire::parseInput(Bytes{}), std::nullopt);

  // The last pointer one byte short: the whole packet goes, not a partial list.
  Bytes shortPointer(payload.begin(), payload.begin() + 2 + 8 + 16 + 15);
  shortPointer[0] = 1;
  EXPECT_EQ(Wire::parseInput(shortPointer), std::nullopt);
  // A sample header cut short.
  EXPECT_EQ(Wire::parseInput(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 0}), std::nullopt);
  // A count that promises more samples than there are bytes.
  EXPECT_EQ(Wire::parseInput(Bytes{255, 0, 0, 0, 0, 0, 0, 0, 0, 0}), std::nullopt);
}

TEST(WireParsers, LargestWellFormedInputPacket) {
  Bytes payload = {255, 0};
  for (int s = 0; s < 255; ++s) {
    const Bytes header = {0, 0, 0, 0, 255, 0, 0, 0};
    payload.insert(payload.end(), header.begin(), header.end());
    payload.insert(payload.end(), 255 * 16, 0);
  }
  ASSERT_EQ(payload.size(), Wire::maxInputPayload);
  const auto samples = Wire::parseInput(payload);
  ASSERT_TRUE(samples);
  EXPECT_EQ(samples->size(), 255u);
  EXPECT_EQ(samples->back().pointers.size(), 255u);
  payload.pop_back();
  EXPECT_EQ(Wire::parseInput(payload), std::nullopt);
}

TEST(WireParsers, KeyCombo) {
  EXPECT_EQ(Wire::parseKeyCombo(Bytes{0x05, 0x00, 0x00, 0x02, 0x37, 0x06}),
            (Wire::KeyChord{Wire::KeyModifier::ctrl | Wire::KeyModifier::alt, Wire::KeyComboAction::tap, {0x37, 0x06}}));
  EXPECT_EQ(Wire::parseKeyCombo(Bytes{0x00, 0x01, 0x02, 0x00}),
            (Wire::KeyChord{0x0100, Wire::KeyComboAction::up, {}}));
  // Extra bytes after the keys are ignored.
  EXPECT_EQ(Wire::parseKeyCombo(Bytes{0x02, 0x00, 0x01, 0x01, 0x41, 0x99, 0x98})->vks, (std::vector<uint8_t>{0x41}));
  EXPECT_EQ(Wire::parseKeyCombo(Bytes{0, 0, 3, 0}), std::nullopt);           // action 3
  EXPECT_EQ(Wire::parseKeyCombo(Bytes{0, 0, 0, 2, 0x41}), std::nullopt);     // n = 2, one key
  EXPECT_EQ(Wire::parseKeyCombo(Bytes{0, 0, 0}), std::nullopt);
}

TEST(WireParsers, ViewportAndEncoderConfig) {
  EXPECT_EQ(Wire::parseViewport(Bytes{0x00, 0x40, 0x00, 0x20, 0x00, 0x80, 0xFF, 0x7F}),
            (Wire::ViewportRectQ16{0x4000, 0x2000, 0x8000, 0x7FFF}));
  EXPECT_EQ(Wire::parseViewport(Bytes(7, 0)), std::nullopt);

  EXPECT_TRUE((Wire::ViewportRectQ16{5, 5, 0, 100}).isFull());
  EXPECT_TRUE((Wire::ViewportRectQ16{5, 5, 100, 0}).isFull());
  EXPECT_TRUE(Wire::ViewportRectQ16::full().isFull());
  EXPECT_FALSE((Wire::ViewportRectQ16{1, 0, 0xFFFF, 0xFFFF}).isFull());

  const auto r = Wire::parseEncoderConfig(Bytes{0xFE, 51, 30, 0xEE, 0xE8, 0x03, 0x00, 0x00});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->fields, 0x06);  // higher bits dropped
  EXPECT_FLOAT_EQ(r->quality, 0.2f);
  EXPECT_EQ(r->fpsCap, 30);
  EXPECT_EQ(r->bitrateKbps, 1000);
  EXPECT_FALSE(r->hasQuality());
  EXPECT_TRUE(r->hasFpsCap());
  EXPECT_TRUE(r->hasBitrate());
  EXPECT_FALSE(r->isEmpty());
  EXPECT_TRUE(Wire::EncoderConfigRequest::none().isEmpty());
  EXPECT_EQ(Wire::parseEncoderConfig(Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF})->bitrateKbps, 4294967295LL);
  EXPECT_EQ(Wire::parseEncoderConfig(Bytes(7, 0)), std::nullopt);
}

TEST(WireParsers, ClientInfoCleansTheName) {
  const Bytes phone = {' ', ' ', '\t', 'P', 'h', 'o', 'n', 'e', 0x01, ' ', ' '};
  EXPECT_EQ(Wire::parseClientInfo(phone), "Phone");
  EXPECT_EQ(Wire::parseClientInfo(Bytes(100, 'q')), std::string(63, 'q'));
  EXPECT_EQ(Wire::parseClientInfo(Bytes{}), "");
  // Control bytes do not count toward the 63.
  Bytes controls(200, 0x7F);
  controls.push_back('z');
  EXPECT_EQ(Wire::parseClientInfo(controls), "z");
  // A three-byte character cut by the limit becomes one replacement character.
  Bytes cut(62, 'a');
  for (uint8_t b : {0xE2, 0x82, 0xAC}) cut.push_back(b);
  EXPECT_EQ(Wire::parseClientInfo(cut), std::string(62, 'a') + "\xEF\xBF\xBD");
  EXPECT_EQ(Wire::parseClientInfo(Bytes{'i', 'P', 'a', 'd', 0xFF}), "iPad\xEF\xBF\xBD");
}

// Arbitrary bytes must never crash a parser, read out of bounds or produce an
// invalid result. Under the asan preset this is the hostile-input sweep.
TEST(WireParsers, RandomBytesNeverBreakAParser) {
  std::mt19937 rng(20261209);
  for (int round = 0; round < 20000; ++round) {
    const size_t size = (round % 10 == 0) ? rng() % 4096 : rng() % 64;
    Bytes payload(size);
    for (auto& b : payload) b = static_cast<uint8_t>(rng());
    // Bias some rounds toward plausible input packets so the deep paths run.
    if (round % 3 == 0 && size >= 2) payload[0] = static_cast<uint8_t>(rng() % 4);

    (void)Wire::parseClientCaps(payload);
    (void)Wire::parseClientMode(payload);
    (void)Wire::parseInputCaps(payload);
    (void)Wire::parseViewport(payload);
    if (auto r = Wire::parseEncoderConfig(payload)) {
      EXPECT_EQ(r->fields & ~Wire::EncoderField::all, 0);
      EXPECT_GE(r->quality, 0.0f);
      EXPECT_LE(r->quality, 1.0f);
    }
    if (auto samples = Wire::parseInput(payload)) {
      size_t bytes = 2;
      for (const auto& s : *samples) bytes += 8 + 16 * s.pointers.size();
      EXPECT_LE(bytes, payload.size());
      EXPECT_EQ(samples->size(), payload[0]);
    }
    if (auto chord = Wire::parseKeyCombo(payload)) {
      EXPECT_LE(4 + chord->vks.size(), payload.size());
    }
    const std::string name = Wire::parseClientInfo(payload);
    EXPECT_LE(name.size(), 63u * 3);
    EXPECT_TRUE(Utf8::isValid(name));
    const std::string fg = Wire::normalizeForegroundName(
        std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
    EXPECT_TRUE(Utf8::isValid(fg));
  }
}

}  // namespace
}  // namespace lumenrail
