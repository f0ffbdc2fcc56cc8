#include <gtest/gtest.h>

#include <string>

#include "media/H264SpsRewriter.hpp"

namespace lumenrail {
namespace {

// Test-side bit packing, written apart from the code under test: '0' and '1'
// count, anything else is layout; a last partial byte is filled with zeros.
Bytes packBits(const std::string& text) {
  Bytes out;
  int n = 0;
  uint8_t cur = 0;
  for (char c : text) {
    if (c != '0' && c != '1') continue;
    cur = static_cast<uint8_t>((cur << 1) | (c == '1'));
    if (++n == 8) {
      out.push_back(cur);
      cur = 0;
      n = 0;
    }
  }
  if (n != 0) out.push_back(static_cast<uint8_t>(cur << (8 - n)));
  return out;
}

// H.264 7.4.1: 03 goes in front of 00..03 after two zero bytes.
Bytes spsNal(const std::string& rbspBits) {
  Bytes out{0x67};
  int zeros = 0;
  for (uint8_t b : packBits(rbspBits)) {
    if (zeros == 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

Bytes hex(const std::string& text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size();) {
    if (text[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return out;
}

// Our restriction: flag 1, motion vectors over boundaries 1, max_bytes_per_pic_denom 2,
// max_bits_per_mb_denom 1, log2 mv lengths 16 and 16, no reordering, then the DPB size.
const std::string kRestrictionDpb1 = " 1 1 011 010 000010001 000010001 1 010 ";
const std::string kRestrictionDpb4 = " 1 1 011 010 000010001 000010001 1 00101 ";

// The SPS of the encoder's own 320x240 Main stream (profile 77, constraint_set1,
// level 3.1), field by field.
const std::string kMainHead =
    "01001101 01000000 00011111"  // profile_idc 77, constraint flags, level_idc 31
    " 1 1 011 010 0"              // sps id 0, log2_max_frame_num_minus4 0, POC type 2, 1 ref frame, no gaps
    " 000010100 0001111"          // 20 macroblocks wide (19), 15 high (14)
    " 1 1 0";                     // frame_mbs_only, direct_8x8_inference, no cropping
const std::string kMainVuiBody =
    " 0 0"                                        // no aspect ratio, no overscan
    " 1 101 1 1 00000001 00000001 00000001"       // signal type: unspecified format, full range, BT.709
    " 0"                                          // no chroma location
    " 1 00000000000000000000000000000001 00000000000000000000000000111100 1"  // timing 1/60, fixed
    " 0 0 0";                                     // no NAL HRD, no VCL HRD, no pic_struct
const std::string kEncoderRestriction = " 1 1 1 1 0001100 0001100 1 010";  // 0, 0, 11, 11, 0, 1

TEST(H264SpsRewriter, EncoderMainSpsWithVuiGetsItsRestrictionReplaced) {
  const Bytes input = hex("67 4d 40 1f da 05 07 e9 b8 08 08 0a 00 00 03 00 02 00 00 03 00 79 1e 30 65 40");
  ASSERT_EQ(input, spsNal(kMainHead + " 1" + kMainVuiBody + kEncoderRestriction + " 1"));

  const auto out = H264SpsRewriter::rewrite(input);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, spsNal(kMainHead + " 1" + kMainVuiBody + kRestrictionDpb1 + " 1"));
}

TEST(H264SpsRewriter, MainSpsWithoutVuiGainsEmptyVuiAndRestriction) {
  const Bytes input = spsNal(kMainHead + " 0 1 00000");
  const auto out = H264SpsRewriter::rewrite(input);
  ASSERT_TRUE(out);
  // Everything before the VUI flag is identical; a Main SPS has no chroma format or scaling lists.
  EXPECT_EQ(*out, spsNal(kMainHead + " 1 00000000" + kRestrictionDpb1 + " 1"));
}

TEST(H264SpsRewriter, DecodedPictureBufferFollowsReferenceFramesButIsAtLeastOne) {
  const std::string zeroRefs =
      "01001101 01000000 00011111 1 1 011 1 0 000010100 0001111 1 1 0";  // max_num_ref_frames 0
  auto out = H264SpsRewriter::rewrite(spsNal(zeroRefs + " 0 1 000"));
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, spsNal(zeroRefs + " 1 00000000" + kRestrictionDpb1 + " 1"));

  const std::string fourRefs =
      "01001101 01000000 00011111 1 1 011 00101 0 000010100 0001111 1 1 0";  // max_num_ref_frames 4
  out = H264SpsRewriter::rewrite(spsNal(fourRefs + " 0 1 0"));
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, spsNal(fourRefs + " 1 00000000" + kRestrictionDpb4 + " 1"));
}

TEST(H264SpsRewriter, HrdParametersAndTimingAreKeptBitForBit) {
  // The encoder's SPS with NAL HRD (level 2.0, VBR 2 Mbit/s), restriction with reorder 2 and DPB 3.
  const std::string head =
      "01001101 01000000 00010100 1 1 011 010 0 000010100 0001111 1 1 0 1"
      " 0 0 1 101 1 1 00000001 00000001 00000001 0"
      " 1 00000000000000000000000000000001 00000000000000000000000000111100 1"
      " 1"                                                   // NAL HRD present
      " 1 0001 0011"                                         // one schedule, scales 1 and 3
      " 000000000000011110100001001 000000000000011110100001001 0"  // 15624, 15624, VBR
      " 10010 11110 00100 00000"                             // the four lengths
      " 0 0 0";                                              // no VCL HRD, low_delay 0, no pic_struct
  const Bytes input = spsNal(head + " 1 1 1 1 0001010 0001010 011 00100 1 0");
  const auto out = H264SpsRewriter::rewrite(input);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, spsNal(head + kRestrictionDpb1 + " 1"));
}

TEST(H264SpsRewriter, HighProfileScalingListsAreCopiedIncludingListsCutShort) {
  const std::string head =
      "01100100 00000000 00001101 1"  // profile 100, level 1.3, sps id 0
      " 010 1 1 0"                    // chroma_format_idc 1, 8-bit luma and chroma, no bypass
      " 1"                            // seq_scaling_matrix_present_flag
      // list 0 (4x4 intra Y): delta 0, then +1 fifteen times (scales 8 to 23)
      " 1 1 010 010 010 010 010 010 010 010 010 010 010 010 010 010 010"
      // list 1: delta -8 makes the next scale 0, the list ends after one entry (use default)
      " 1 000010001"
      " 0 0 0 0"                      // lists 2 to 5 absent
      // list 6 (8x8 intra Y): +8 then -16, which reaches 0 and cuts the list after two entries
      " 1 000010000 00000100001"
      " 0";                           // list 7 absent
  const std::string tail =
      " 1 011 010 0 000010100 0001111 1 1 0";  // frame num, POC type 2, 1 ref, 20x15 MBs, flags
  const Bytes input = spsNal(head + tail + " 0 1 000");
  const auto out = H264SpsRewriter::rewrite(input);
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, spsNal(head + tail + " 1 00000000" + kRestrictionDpb1 + " 1"));
}

TEST(H264SpsRewriter, PocTypeOneCycleIsCopiedWithSignedValues) {
  const std::string sps =
      "01001101 01000000 00011111 1 1"
      " 010"           // POC type 1
      " 0"             // delta_pic_order_always_zero_flag
      " 00100"         // offset_for_non_ref_pic +2
      " 011"           // offset_for_top_to_bottom_field -1
      " 010"           // one reference frame in the cycle
      " 00111"         // offset_for_ref_frame -3
      " 010 0 000010100 0001111 1 1 0";
  const auto out = H264SpsRewriter::rewrite(spsNal(sps + " 0 1 000"));
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, spsNal(sps + " 1 00000000" + kRestrictionDpb1 + " 1"));
}

TEST(H264SpsRewriter, TruncatedOrHostileUnitsYieldNothing) {
  const Bytes whole = hex("67 4d 40 1f da 05 07 e9 b8 08 08 0a 00 00 03 00 02 00 00 03 00 79 1e 30 65 40");
  for (size_t cut = 1; cut < whole.size(); ++cut) {
    EXPECT_FALSE(H264SpsRewriter::rewrite(ByteView(whole).first(cut))) << "cut at " << cut;
  }
  EXPECT_FALSE(H264SpsRewriter::rewrite({}));

  // 32 leading zeros: no valid Exp-Golomb code.
  EXPECT_FALSE(H264SpsRewriter::rewrite(hex("67 4d 40 1f 00 00 00 00 00 00 00 00 80")));
  // A cycle of 256 reference frames is past what the syntax allows.
  const std::string longCycle =
      "01001101 01000000 00011111 1 1 010 0 1 1 00000000100000001";
  EXPECT_FALSE(H264SpsRewriter::rewrite(spsNal(longCycle + " 1" + std::string(5000, '1') + " 000")));
  // cpb_cnt_minus1 of 32 in the HRD.
  const std::string manySchedules =
      "01001101 01000000 00011111 1 1 011 010 0 000010100 0001111 1 1 0 1"
      " 0 0 0 0 0 1 00000100001 ";
  EXPECT_FALSE(H264SpsRewriter::rewrite(spsNal(manySchedules + std::string(4000, '1') + " 00000")));
  // POC type 3 does not exist.
  EXPECT_FALSE(H264SpsRewriter::rewrite(spsNal("01001101 01000000 00011111 1 1 00100 010 0 000010100 0001111 1 1 0 0 1 0000")));
}

TEST(H264SpsRewriter, EmulationPreventionRoundTrip) {
  EXPECT_EQ(H264SpsRewriter::removeEmulation(hex("00 00 03 01")), hex("00 00 01"));
  EXPECT_EQ(H264SpsRewriter::addEmulation(hex("00 00 01")), hex("00 00 03 01"));
  EXPECT_EQ(H264SpsRewriter::addEmulation(hex("00 00 04")), hex("00 00 04"));
  EXPECT_EQ(H264SpsRewriter::addEmulation(hex("00 00 00 00 00")), hex("00 00 03 00 00 03 00"));
  EXPECT_EQ(H264SpsRewriter::removeEmulation(hex("00 00 03 00 00 03 00")), hex("00 00 00 00 00"));
  EXPECT_EQ(H264SpsRewriter::removeEmulation(hex("00 00")), hex("00 00"));

  // Every RBSP of zeros, small values and others survives the round trip.
  Bytes rbsp;
  uint32_t seed = 7;
  for (int i = 0; i < 4096; ++i) {
    seed = seed * 1103515245 + 12345;
    const uint8_t pick = static_cast<uint8_t>(seed >> 24);
    rbsp.push_back(pick < 128 ? 0 : pick < 200 ? static_cast<uint8_t>(pick & 3) : pick);
  }
  const Bytes payload = H264SpsRewriter::addEmulation(rbsp);
  for (size_t i = 2; i < payload.size(); ++i) {
    ASSERT_FALSE(payload[i - 2] == 0 && payload[i - 1] == 0 && payload[i] <= 2) << "start code emulated at " << i;
  }
  EXPECT_EQ(H264SpsRewriter::removeEmulation(payload), rbsp);
}

TEST(H264SpsRewriter, ExpGolombAtTheLimitsOfThirtyTwoBits) {
  BitWriter w;
  w.ue(0xFFFFFFFEu);         // the largest code number
  w.se(-2147483647LL);       // code number 2^32 - 2
  w.se(2147483647LL);        // code number 2^32 - 3
  w.u(1, 1);
  while (w.pendingBits() != 0) w.u(0, 1);
  const Bytes bytes = w.rbsp();
  BitReader r(bytes);
  EXPECT_EQ(r.ue(), 0xFFFFFFFEu);
  EXPECT_EQ(r.se(), -2147483647LL);
  EXPECT_EQ(r.se(), 2147483647LL);
  EXPECT_EQ(r.u(1), 1u);
  EXPECT_FALSE(r.overran());
  r.u(8);
  EXPECT_TRUE(r.overran());
}

}  // namespace
}  // namespace lumenrail
