#pragma once

#include <cstdint>
#include <optional>

#include "platform/Bytes.hpp"

namespace lumenrail {

// Reads an RBSP most significant bit first. Once a read runs past the end,
// `overran()` stays set and every further read yields 0.
class BitReader {
 public:
  explicit BitReader(ByteView bytes) : bytes_(bytes) {}

  // n from 0 to 32.
  uint32_t u(int n);
  // Unsigned Exp-Golomb; at most 2^32 - 2.
  uint32_t ue();
  // Signed Exp-Golomb, kept in 64 bits so code number 2^32 - 2 maps without overflow.
  int64_t se();

  bool overran() const { return overran_; }
  int64_t bitPos() const { return bitPos_; }

 private:
  ByteView bytes_;
  int64_t bitPos_ = 0;
  bool overran_ = false;
};

// Collects bits most significant first into whole bytes.
class BitWriter {
 public:
  // Writes the low n bits of value (n up to 32; n < 1 writes nothing).
  void u(uint32_t value, int n);
  void ue(uint64_t value);
  void se(int64_t value);

  // Completed bytes; a partly filled byte is not included.
  const Bytes& rbsp() const { return rbsp_; }
  int pendingBits() const { return nbits_; }

 private:
  Bytes rbsp_;
  uint8_t cur_ = 0;
  int nbits_ = 0;
};

// What the SPS walk records on its way.
struct SpsFields {
  uint32_t profileIdc = 0;
  uint32_t levelIdc = 0;
  uint32_t maxNumRefFrames = 0;
  uint32_t picWidthInMbsMinus1 = 0;
  uint32_t picHeightInMapUnitsMinus1 = 0;
  bool vuiPresent = false;
  bool bitstreamRestrictionFlag = false;
  std::optional<uint32_t> maxNumReorderFrames;
  std::optional<uint32_t> maxDecFrameBuffering;
  bool operator==(const SpsFields&) const = default;
};

// Rewrites an H.264 sequence parameter set so that its VUI always carries a
// bitstream restriction with zero reordered frames: a decoder that honours it
// outputs every picture as soon as it is decoded. Everything before the VUI's
// restriction is copied bit for bit.
namespace H264SpsRewriter {

// Takes one SPS NAL unit (header byte first, no start code, emulation
// prevention in place); nothing when it does not parse, and the caller then
// sends it unchanged.
std::optional<Bytes> rewrite(ByteView nal);

// NAL payload to RBSP: every 03 after 00 00 is dropped.
Bytes removeEmulation(ByteView payload);
// RBSP to NAL payload: 03 goes in before a byte 00..03 that follows two zeros.
Bytes addEmulation(ByteView rbsp);

}  // namespace H264SpsRewriter

}  // namespace lumenrail
