#include "media/AccessUnit.hpp"

#include <algorithm>
#include <iterator>

#include "media/H264SpsRewriter.hpp"

namespace lumenrail {

namespace {

constexpr uint8_t kStartCode[4] = {0, 0, 0, 1};
constexpr uint8_t kH264Sei = 6;
constexpr uint8_t kH264Sps = 7;
constexpr uint64_t kUserDataUnregistered = 5;
// x264 marks its banner (its version and every option, in text) with this id.
constexpr uint8_t kX264Uuid[16] = {0xdc, 0x45, 0xe9, 0xbd, 0xe6, 0xd9, 0x48, 0xb7,
                                   0x96, 0x2c, 0xd8, 0x20, 0xd9, 0x23, 0xee, 0xef};

// True for an SEI unit whose first message is x264's banner. The library
// cannot be told to leave it out, and it is a few hundred bytes no decoder
// uses; any other SEI goes out as it came.
bool isX264Banner(ByteView unit) {
  size_t at = 1;
  auto readValue = [&](uint64_t& value) {
    value = 0;
    while (at < unit.size() && unit[at] == 0xFF) {
      value += 0xFF;
      ++at;
    }
    if (at >= unit.size()) return false;
    value += unit[at++];
    return true;
  };
  uint64_t type = 0;
  uint64_t size = 0;
  if (!readValue(type) || !readValue(size)) return false;
  if (type != kUserDataUnregistered || size < sizeof kX264Uuid || unit.size() - at < sizeof kX264Uuid) return false;
  return std::equal(std::begin(kX264Uuid), std::end(kX264Uuid), unit.begin() + static_cast<std::ptrdiff_t>(at));
}

void appendUnit(Bytes& out, ByteView unit) {
  out.insert(out.end(), kStartCode, kStartCode + 4);
  out.insert(out.end(), unit.begin(), unit.end());
}

}  // namespace

Bytes AccessUnit::fromLengthPrefixed(ByteView sample, Wire::Codec codec) {
  Bytes out;
  out.reserve(sample.size() + 64);
  appendAnnexB(sample, codec, out);
  return out;
}

void AccessUnit::appendAnnexB(ByteView sample, Wire::Codec codec, Bytes& out) {
  const size_t total = sample.size();
  size_t p = 4;
  while (p <= total) {
    const uint64_t length = (uint64_t{sample[p - 4]} << 24) | (uint64_t{sample[p - 3]} << 16) |
                            (uint64_t{sample[p - 2]} << 8) | uint64_t{sample[p - 1]};
    if (length == 0 || length > total - p) break;
    const ByteView unit = sample.subspan(p, static_cast<size_t>(length));
    if (codec == Wire::Codec::h264) {
      const uint8_t type = unit[0] & 0x1F;
      if (type == kH264Sei && isX264Banner(unit)) {
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
}

}  // namespace lumenrail
