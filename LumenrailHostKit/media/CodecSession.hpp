#pragma once

#include <cstdint>
#include <memory>

#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// One picture handed to a codec library: 8-bit 4:2:0, either NV12 (planes 0
// and 1) or I420 (planes 0, 1, 2), full range.
struct CodecPicture {
  bool nv12 = false;
  const uint8_t* plane[3] = {nullptr, nullptr, nullptr};
  int stride[3] = {0, 0, 0};
};

// What rate control is told. The cap is the VBV rate in kbit/s as the codec
// must see it (scaled for a live frame-rate change, see VideoToolboxEncoder).
struct CodecRate {
  float quality = 0.75f;  // 0..1
  int64_t vbvMaxKbps = 0;
  int64_t vbvBufferKbit = 0;
  bool operator==(const CodecRate&) const = default;
};

// A codec library behind one small interface. `encode` is called from one
// thread at a time; `reconfigure` may come from another thread meanwhile.
class CodecSession {
 public:
  struct Output {
    // NAL units each behind a 4-byte big-endian length, in the library's own
    // memory: valid until the next call into the session.
    ByteView lengthPrefixed;
    bool keyframe = false;
  };

  virtual ~CodecSession() = default;
  virtual bool acceptsNv12() const = 0;
  // Negative on failure; an empty output means the library held the picture back.
  virtual int encode(const CodecPicture& picture, int64_t pts, bool forceIdr, Output& out) = 0;
  // Every setting at once; true when they are taken (HEVC may apply them up
  // to a second later, see HevcCodecSession.cpp).
  virtual bool reconfigure(const CodecRate& rate) = 0;

  // Nothing when the library refuses the settings.
  static std::unique_ptr<CodecSession> makeH264(int width, int height, int fps, const CodecRate& rate);
  // `nowNs` times the coalescing of reopens; the uptime clock by default.
  static std::unique_ptr<CodecSession> makeHevc(int width, int height, int fps, const CodecRate& rate,
                                                NowNs nowNs = {});
};

// Maps quality 0..1 onto each library's constant rate factor (lower is better).
double h264RateFactor(float quality);
double hevcRateFactor(float quality);

}  // namespace lumenrail
