#include "media/H264SpsRewriter.hpp"

#include <algorithm>

namespace lumenrail {

uint32_t BitReader::u(int n) {
  uint64_t acc = 0;
  for (int i = 0; i < n; ++i) {
    if (bitPos_ >= static_cast<int64_t>(bytes_.size()) * 8) {
      overran_ = true;
      return static_cast<uint32_t>(acc);
    }
    const uint8_t byte = bytes_[static_cast<size_t>(bitPos_ >> 3)];
    const int bit = (byte >> (7 - (bitPos_ & 7))) & 1;
    acc = (acc << 1) | static_cast<uint64_t>(bit);
    ++bitPos_;
  }
  return static_cast<uint32_t>(acc);
}

uint32_t BitReader::ue() {
  int zeros = 0;
  for (;;) {
    const uint32_t bit = u(1);
    if (overran_) return 0;
    if (bit == 1) break;
    if (++zeros == 32) {
      overran_ = true;
      return 0;
    }
  }
  if (zeros == 0) return 0;
  const uint64_t rest = u(zeros);
  return static_cast<uint32_t>((uint64_t{1} << zeros) + rest - 1);
}

int64_t BitReader::se() {
  const int64_t k = ue();
  return (k & 1) ? (k + 1) / 2 : -(k / 2);
}

void BitWriter::u(uint32_t value, int n) {
  for (int i = std::min(n, 32) - 1; i >= 0; --i) {
    cur_ = static_cast<uint8_t>((cur_ << 1) | ((value >> i) & 1));
    if (++nbits_ == 8) {
      rbsp_.push_back(cur_);
      cur_ = 0;
      nbits_ = 0;
    }
  }
}

void BitWriter::ue(uint64_t value) {
  const uint64_t w = value + 1;
  int bits = 0;
  while (bits < 64 && (w >> bits) != 0) ++bits;
  for (int i = 0; i < bits - 1; ++i) u(0, 1);
  // Up to 33 significant bits for the largest code number, so two pieces.
  if (bits > 32) {
    u(static_cast<uint32_t>(w >> 32), bits - 32);
    u(static_cast<uint32_t>(w), 32);
  } else {
    u(static_cast<uint32_t>(w), bits);
  }
}

void BitWriter::se(int64_t value) {
  // Code number: 2v - 1 for v > 0, -2v otherwise (64 bits: |v| may reach 2^31).
  ue(value > 0 ? static_cast<uint64_t>(value) * 2 - 1 : static_cast<uint64_t>(-value) * 2);
}

namespace {

bool isHighProfile(uint32_t profileIdc) {
  switch (profileIdc) {
    case 44: case 83: case 86: case 100: case 110: case 118:
    case 122: case 128: case 134: case 135: case 138: case 139: case 244:
      return true;
    default:
      return false;
  }
}

// A corrupt unit could announce billions of loop passes; the syntax allows no more than these.
constexpr uint32_t kMaxCpbCntMinus1 = 31;
constexpr uint32_t kMaxRefFramesInPocCycle = 255;

template <typename Sink>
class Walk {
 public:
  Walk(ByteView rbsp, Sink& sink) : reader_(rbsp), sink_(sink) {}

  std::optional<SpsFields> run() {
    if (!copySequenceFields()) return std::nullopt;

    f_.vuiPresent = reader_.u(1) == 1;
    sink_.u(1, 1);
    if (reader_.overran()) return std::nullopt;
    if (f_.vuiPresent) {
      if (!copyVuiUpToRestriction()) return std::nullopt;
      // An existing restriction is read and dropped; ours replaces it.
      if (reader_.u(1) == 1) {
        reader_.u(1);
        for (int i = 0; i < 6; ++i) reader_.ue();
      }
      if (reader_.overran()) return std::nullopt;
    } else {
      // aspect ratio, overscan, signal type, chroma location, timing, NAL HRD, VCL HRD, pic_struct
      sink_.u(0, 8);
    }
    writeLowLatencyRestriction();
    sink_.u(1, 1);  // rbsp_stop_one_bit
    while (sink_.pendingBits() != 0) sink_.u(0, 1);
    return f_;
  }

 private:
  uint32_t copyU(int n) {
    const uint32_t v = reader_.u(n);
    sink_.u(v, n);
    return v;
  }
  uint32_t copyUe() {
    const uint32_t v = reader_.ue();
    sink_.ue(v);
    return v;
  }
  void copySe() { sink_.se(reader_.se()); }
  bool ok() const { return !reader_.overran(); }

  bool copySequenceFields() {
    f_.profileIdc = copyU(8);
    copyU(8);  // constraint_set0..5 flags, reserved_zero_2bits
    f_.levelIdc = copyU(8);
    copyUe();  // seq_parameter_set_id
    if (!ok()) return false;

    // Chroma format through the scaling lists exist only in the high profiles.
    if (isHighProfile(f_.profileIdc)) {
      const uint32_t chromaFormatIdc = copyUe();
      if (!ok() || chromaFormatIdc > 3) return false;
      if (chromaFormatIdc == 3) copyU(1);  // separate_colour_plane_flag
      copyUe();                            // bit_depth_luma_minus8
      copyUe();                            // bit_depth_chroma_minus8
      copyU(1);                            // qpprime_y_zero_transform_bypass_flag
      if (copyU(1) == 1) {                 // seq_scaling_matrix_present_flag
        const int lists = chromaFormatIdc == 3 ? 12 : 8;
        for (int i = 0; i < lists && ok(); ++i) {
          if (copyU(1) == 1) copyScalingList(i < 6 ? 16 : 64);
        }
      }
      if (!ok()) return false;
    }

    copyUe();  // log2_max_frame_num_minus4
    const uint32_t pocType = copyUe();
    if (!ok() || pocType > 2) return false;
    if (pocType == 0) {
      copyUe();  // log2_max_pic_order_cnt_lsb_minus4
    } else if (pocType == 1) {
      copyU(1);  // delta_pic_order_always_zero_flag
      copySe();  // offset_for_non_ref_pic
      copySe();  // offset_for_top_to_bottom_field
      const uint32_t cycle = copyUe();
      if (!ok() || cycle > kMaxRefFramesInPocCycle) return false;
      for (uint32_t i = 0; i < cycle && ok(); ++i) copySe();
    }
    f_.maxNumRefFrames = copyUe();
    copyU(1);  // gaps_in_frame_num_value_allowed_flag
    f_.picWidthInMbsMinus1 = copyUe();
    f_.picHeightInMapUnitsMinus1 = copyUe();
    if (copyU(1) == 0) copyU(1);  // frame_mbs_only_flag, mb_adaptive_frame_field_flag
    copyU(1);                     // direct_8x8_inference_flag
    if (copyU(1) == 1) {          // frame_cropping_flag
      for (int i = 0; i < 4; ++i) copyUe();
    }
    return ok();
  }

  void copyScalingList(int size) {
    int64_t last = 8;
    int64_t next = 8;
    for (int j = 0; j < size && ok(); ++j) {
      if (next == 0) break;  // the rest of the list repeats the last scale
      const int64_t delta = reader_.se();
      sink_.se(delta);
      next = ((last + delta + 256) % 256 + 256) % 256;
      if (next != 0) last = next;
    }
  }

  bool copyVuiUpToRestriction() {
    if (copyU(1) == 1) {                        // aspect_ratio_info_present_flag
      if (copyU(8) == 255) {                    // aspect_ratio_idc: extended SAR
        copyU(16);
        copyU(16);
      }
    }
    if (copyU(1) == 1) copyU(1);                // overscan_info_present / appropriate
    if (copyU(1) == 1) {                        // video_signal_type_present_flag
      copyU(3);                                 // video_format
      copyU(1);                                 // video_full_range_flag
      if (copyU(1) == 1) {                      // colour_description_present_flag
        copyU(8);
        copyU(8);
        copyU(8);
      }
    }
    if (copyU(1) == 1) {                        // chroma_loc_info_present_flag
      copyUe();
      copyUe();
    }
    if (copyU(1) == 1) {                        // timing_info_present_flag
      copyU(32);
      copyU(32);
      copyU(1);
    }
    if (!ok()) return false;
    const bool nalHrd = copyU(1) == 1;
    if (nalHrd && !copyHrd()) return false;
    const bool vclHrd = copyU(1) == 1;
    if (vclHrd && !copyHrd()) return false;
    if (nalHrd || vclHrd) copyU(1);             // low_delay_hrd_flag
    copyU(1);                                   // pic_struct_present_flag
    return ok();
  }

  bool copyHrd() {
    const uint32_t cpbCntMinus1 = copyUe();
    if (!ok() || cpbCntMinus1 > kMaxCpbCntMinus1) return false;
    copyU(4);  // bit_rate_scale
    copyU(4);  // cpb_size_scale
    for (uint32_t i = 0; i <= cpbCntMinus1 && ok(); ++i) {
      copyUe();  // bit_rate_value_minus1
      copyUe();  // cpb_size_value_minus1
      copyU(1);  // cbr_flag
    }
    for (int i = 0; i < 4; ++i) copyU(5);  // the four delay and offset lengths
    return ok();
  }

  void writeLowLatencyRestriction() {
    const uint32_t dpb = std::max<uint32_t>(f_.maxNumRefFrames, 1);
    sink_.u(1, 1);  // bitstream_restriction_flag
    sink_.u(1, 1);  // motion_vectors_over_pic_boundaries_flag
    sink_.ue(2);    // max_bytes_per_pic_denom
    sink_.ue(1);    // max_bits_per_mb_denom
    sink_.ue(16);   // log2_max_mv_length_horizontal
    sink_.ue(16);   // log2_max_mv_length_vertical
    sink_.ue(0);    // max_num_reorder_frames
    sink_.ue(dpb);  // max_dec_frame_buffering
    f_.bitstreamRestrictionFlag = true;
    f_.maxNumReorderFrames = 0;
    f_.maxDecFrameBuffering = dpb;
  }

  BitReader reader_;
  Sink& sink_;
  SpsFields f_;
};

}  // namespace

namespace H264SpsRewriter {

std::optional<Bytes> rewrite(ByteView nal) {
  if (nal.empty()) return std::nullopt;
  const Bytes rbsp = removeEmulation(nal.subspan(1));
  BitWriter writer;
  Walk<BitWriter> walk(rbsp, writer);
  if (!walk.run()) return std::nullopt;
  Bytes out;
  const Bytes payload = addEmulation(writer.rbsp());
  out.reserve(payload.size() + 1);
  out.push_back(nal[0]);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes removeEmulation(ByteView payload) {
  Bytes out;
  out.reserve(payload.size());
  size_t i = 0;
  while (i < payload.size()) {
    if (i + 2 < payload.size() && payload[i] == 0 && payload[i + 1] == 0 && payload[i + 2] == 3) {
      out.push_back(0);
      out.push_back(0);
      i += 3;
    } else {
      out.push_back(payload[i]);
      ++i;
    }
  }
  return out;
}

Bytes addEmulation(ByteView rbsp) {
  Bytes out;
  out.reserve(rbsp.size() + rbsp.size() / 64 + 1);
  int zeros = 0;
  for (uint8_t b : rbsp) {
    if (zeros >= 2 && b <= 3) {
      out.push_back(3);
      zeros = 0;
    }
    out.push_back(b);
    zeros = b == 0 ? zeros + 1 : 0;
  }
  return out;
}

}  // namespace H264SpsRewriter

}  // namespace lumenrail
