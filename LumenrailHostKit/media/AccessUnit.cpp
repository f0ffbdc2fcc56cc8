#include "media/AccessUnit.hpp"

#include "media/H264SpsRewriter.hpp"

namespace lumenrail {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kH264Sei = 6;
constexpr uint8_t kH264Sps = 7;

void appendUnit(Bytes& out, ByteView unit) {
  out.insert(out.end(), kStartCode, kStartCode + 4);
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

Bytes AccessUnit::fromLengthPrefixed(ByteView sample, Wire::Codec codec) {
  Bytes out;
  out.reserve(sample.size() + 64);
  const size_t total = sample.size();
  size_t p = 4;
  while (p <= total) {
    const uint64_t length = (uint64_t{sample[p - 4]} << 24) | (uint64_t{sample[p - 3]} << 16) |
                            (uint64_t{sample[p - 2]} << 8) | uint64_t{sample[p - 1]};
    if (length == 0 || length > total - p) break;
    const ByteView unit = sample.subspan(p, static_cast<size_t>(length));
    if (codec == Wire::Codec::h264) {
      const uint8_t type = unit[0] & 0x1F;
      if (type == kH264Sei) {
        p += static_cast<size_t>(length) + 4;
        continue;
      }
      if (type == kH264Sps) {
        if (auto rewritten = H264SpsRewriter::rewrite(unit)) {
          appendUnit(out, *rewritten);
          p += static_cast<size_t>(length) + 4;
          continue;
        }
      }
    }
    appendUnit(out, unit);
    p += static_cast<size_t>(length) + 4;
  }
  return out;
}

}  // namespace lumenrail
