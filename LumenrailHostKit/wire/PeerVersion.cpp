#include "wire/PeerVersion.hpp"

#include <algorithm>

#include "platform/ByteOrder.hpp"
#include "platform/Utf8.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

PeerPlatform PeerPlatforms::fromCode(uint8_t code) {
  return code <= 5 ? static_cast<PeerPlatform>(code) : PeerPlatform::unknown;
}

std::string_view PeerPlatforms::label(PeerPlatform platform) {
  switch (platform) {
    case PeerPlatform::unknown: return "unknown";
    case PeerPlatform::android: return "android";
    case PeerPlatform::ios: return "ios";
    case PeerPlatform::windows: return "windows";
    case PeerPlatform::macos: return "macos";
    case PeerPlatform::linux: return "linux";
  }
  return "unknown";
}

namespace {

// The first 23 scalars of a text, each as the low 7 bits of its value.
Bytes sevenBitText(std::string_view text) {
  Bytes out;
  size_t i = 0;
  while (i < text.size() && out.size() < PeerVersion::maxVersionLen) {
    const Utf8::Scalar scalar = Utf8::scalarAt(text, i);
    out.push_back(static_cast<uint8_t>(scalar.value & 0x7F));
    i += scalar.length;
  }
  return out;
}

std::string maskedText(ByteView bytes) {
  std::string s;
  s.reserve(bytes.size());
  for (uint8_t b : bytes) s.push_back(static_cast<char>(b & 0x7F));
  return s;
}

uint16_t clampLE16(int64_t v) { return static_cast<uint16_t>(std::clamp<int64_t>(v, 0, 0xFFFF)); }

std::string printable(std::string_view text) {
  std::string s(text);
  for (char& c : s) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x20 || b == 0x7F) c = '?';
  }
  return s;
}

}  // namespace

Bytes PeerVersion::encode(bool withHostTail) const {
  Bytes payload;
  const Bytes text = sevenBitText(version);
  ByteOrder::appendLE16(payload, clampLE16(wireLevel));
  payload.push_back(static_cast<uint8_t>(platform));
  payload.push_back(static_cast<uint8_t>(text.size()));
  payload.insert(payload.end(), text.begin(), text.end());
  if (withHostTail) {
    const Bytes update = sevenBitText(updateVersion);
    ByteOrder::appendLE16(payload, clampLE16(minClientLevel));
    payload.push_back(static_cast<uint8_t>(hostUpdate));
    payload.push_back(static_cast<uint8_t>(update.size()));
    payload.insert(payload.end(), update.begin(), update.end());
  }
  return Wire::packet(Wire::PacketType::peerVersion, payload);
}

std::optional<PeerVersion> PeerVersion::decode(ByteView p) {
  if (p.size() < 4) return std::nullopt;
  const size_t n = p[3];
  if (n > maxVersionLen || p.size() < 4 + n) return std::nullopt;
  PeerVersion v;
  v.wireLevel = ByteOrder::readLE16(p, 0);
  v.platform = PeerPlatforms::fromCode(p[2]);
  v.version = maskedText(p.subspan(4, n));
  if (p.size() < 8 + n) return v;
  const size_t m = p[7 + n];
  if (m > maxVersionLen || p.size() < 8 + n + m) return std::nullopt;
  v.minClientLevel = ByteOrder::readLE16(p, 4 + n);
  v.hostUpdate = hostUpdateFromCode(p[6 + n]);
  v.updateVersion = maskedText(p.subspan(8 + n, m));
  return v;
}

std::string PeerVersion::summary() const {
  std::string s(PeerPlatforms::label(platform));
  s += ' ';
  s += version.empty() ? std::string("(no version)") : printable(version);
  s += " level " + std::to_string(wireLevel);
  return s;
}

}  // namespace lumenrail
