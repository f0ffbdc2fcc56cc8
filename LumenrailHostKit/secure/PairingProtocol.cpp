#include "secure/PairingProtocol.hpp"

#include <cstdio>
#include <stdexcept>

#include "platform/Base64.hpp"
#include "platform/Crypto.hpp"
#include "platform/Utf8.hpp"

namespace lumenrail::PairingProtocol {

namespace {

constexpr std::string_view rootSalt = "tile/wlan/bond/base/v1";
constexpr std::string_view sasLabel = "tile/wifi/sas/v1";
constexpr std::string_view sigHostLabel = "tile/wifi/sig/host/v1";
constexpr std::string_view sigClientLabel = "tile/wifi/sig/client/v1";
constexpr std::string_view deviceIdLabel = "lumenrail/device-id/v1";

constexpr uint8_t kNibbleBase = 0x10;

ByteView bytesOf(std::string_view text) { return {reinterpret_cast<const uint8_t*>(text.data()), text.size()}; }

Bytes labelled(std::string_view label, ByteView data) {
  Bytes out(label.begin(), label.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

bool isNibbleByte(uint8_t b) { return b >= kNibbleBase && b <= kNibbleBase + 0x0F; }

// Unicode 15 general category Cf.
struct Range {
  uint32_t first, last;
};
constexpr Range kFormat[] = {
    {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},     {0x70F, 0x70F},
    {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool isControlOrFormat(uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;  // Cc
  for (const Range& r : kFormat) {
    if (c < r.first) return false;
    if (c <= r.last) return true;
  }
  return false;
}

std::string cleanName(std::string_view text) {
  return withoutControlCharacters(Utf8::trimWhitespaceAndNewlines(text));
}

}  // namespace

std::optional<DeviceKind> from(uint8_t raw) {
  if (raw > static_cast<uint8_t>(DeviceKind::appleTv)) return std::nullopt;
  return static_cast<DeviceKind>(raw);
}

DeviceKind deviceKindOf(int64_t raw) {
  if (raw < 0 || raw > 255) return DeviceKind::unknown;
  return from(static_cast<uint8_t>(raw)).value_or(DeviceKind::unknown);
}

Bytes encode(uint8_t type, ByteView payload) {
  if (payload.size() > 0xFFFF) throw std::invalid_argument("PairingProtocol::encode: payload over 65535 bytes");
  Bytes out;
  out.reserve(static_cast<size_t>(headerLen) + payload.size());
  out.push_back(type);
  out.push_back(static_cast<uint8_t>(payload.size() & 0xFF));
  out.push_back(static_cast<uint8_t>(payload.size() >> 8));
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

uint8_t headerType(ByteView header) {
  if (header.empty()) throw std::invalid_argument("PairingProtocol::headerType: empty header");
  return header[0];
}

uint16_t headerLength(ByteView header) {
  if (header.size() < static_cast<size_t>(headerLen)) {
    throw std::invalid_argument("PairingProtocol::headerLength: header shorter than 3 bytes");
  }
  return static_cast<uint16_t>(header[1] | header[2] << 8);
}

Bytes transcript(ByteView epkC, ByteView idPubC, ByteView epkH, ByteView idPubH) {
  Bytes out;
  out.reserve(4 * static_cast<size_t>(keyLen));
  for (ByteView part : {epkC, idPubC, epkH, idPubH}) {
    if (part.size() != static_cast<size_t>(keyLen)) throw PairingError::malformed("bad transcript component length");
    out.insert(out.end(), part.begin(), part.end());
  }
  return out;
}

SymmetricKey deriveRoot(const SymmetricKey& sharedSecret, ByteView transcript) {
  return Crypto::hkdfSha256(sharedSecret.bytes(), bytesOf(rootSalt), transcript, 32);
}

std::string sasDigits(ByteView transcript) {
  const auto digest = Crypto::sha256(labelled(sasLabel, transcript));
  uint64_t value = 0;
  for (size_t i = 0; i < 8; ++i) value = value << 8 | digest[i];
  char text[8];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(value % 1'000'000));
  return text;
}

std::string fingerprint(ByteView identityPublicKey) {
  const auto digest = Crypto::sha256(identityPublicKey);
  return Base64::encodeUrl(ByteView(digest).first(8));
}

Bytes hostSignature(const Ed25519PrivateKey& identity, ByteView transcript) {
  return identity.signature(labelled(sigHostLabel, transcript));
}

Bytes clientSignature(const Ed25519PrivateKey& identity, ByteView transcript) {
  return identity.signature(labelled(sigClientLabel, transcript));
}

bool verifyHostSignature(ByteView identityPublicKey, ByteView transcript, ByteView signature) {
  return Ed25519::isValidSignature(signature, labelled(sigHostLabel, transcript), identityPublicKey);
}

bool verifyClientSignature(ByteView identityPublicKey, ByteView transcript, ByteView signature) {
  return Ed25519::isValidSignature(signature, labelled(sigClientLabel, transcript), identityPublicKey);
}

Bytes deviceIdFrom(std::string_view text) {
  const auto digest = Crypto::sha256(labelled(deviceIdLabel, bytesOf(text)));
  return Bytes(digest.begin(), digest.begin() + deviceIdLen);
}

std::string deviceIdHex(ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

std::string withoutControlCharacters(std::string_view text) {
  std::string repaired;
  if (!Utf8::isValid(text)) {
    repaired = Utf8::decodeRepairing(text);
    text = repaired;
  }
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const Utf8::Scalar scalar = Utf8::scalarAt(text, i);
    if (!isControlOrFormat(scalar.value)) out.append(text.substr(i, scalar.length));
    i += scalar.length;
  }
  return out;
}

Bytes metaBytes(const std::optional<Bytes>& deviceId, DeviceKind kind) {
  Bytes out;
  if (deviceId && deviceId->size() == static_cast<size_t>(deviceIdLen)) {
    out.push_back(tailMetaDeviceId);
    for (uint8_t b : *deviceId) {
      out.push_back(static_cast<uint8_t>(kNibbleBase + (b >> 4)));
      out.push_back(static_cast<uint8_t>(kNibbleBase + (b & 0x0F)));
    }
  }
  if (kind != DeviceKind::unknown) {
    out.push_back(tailMetaDeviceKind);
    out.push_back(static_cast<uint8_t>(kNibbleBase + static_cast<uint8_t>(kind)));
  }
  return out;
}

Bytes clientKeyxTail(std::string_view name, bool canShowSas, const std::optional<Bytes>& deviceId,
                     DeviceKind kind) {
  Bytes tail;
  if (!canShowSas) tail.push_back(tailFlagNoSasUi);
  const Bytes meta = metaBytes(deviceId, kind);
  tail.insert(tail.end(), meta.begin(), meta.end());

  const std::string cleaned = cleanName(Utf8::isValid(name) ? std::string(name) : Utf8::decodeRepairing(name));
  const size_t room = static_cast<size_t>(clientNameMax) - tail.size();
  size_t keep = cleaned.size();
  if (keep > room) {
    // Back up to the start of a character so no sequence is cut in half.
    keep = room;
    while (keep > 0 && (static_cast<uint8_t>(cleaned[keep]) & 0xC0) == 0x80) --keep;
  }
  tail.insert(tail.end(), cleaned.begin(), cleaned.begin() + static_cast<std::ptrdiff_t>(keep));
  return tail;
}

bool clientTailCanShowSas(ByteView tail) {
  for (uint8_t b : tail) {
    if (b == tailFlagNoSasUi) return false;
  }
  return true;
}

TailMeta clientTailMeta(ByteView tail) {
  TailMeta meta;
  size_t i = 0;
  while (i < tail.size()) {
    const uint8_t b = tail[i];
    if (b == tailMetaDeviceKind && i + 1 < tail.size() && isNibbleByte(tail[i + 1])) {
      meta.kind = from(tail[i + 1] & 0x0F).value_or(DeviceKind::unknown);
      i += 2;
      continue;
    }
    if (b == tailMetaDeviceId && i + 1 + 2 * deviceIdLen <= tail.size()) {
      bool allNibbles = true;
      for (size_t k = 1; k <= 2 * deviceIdLen; ++k) allNibbles = allNibbles && isNibbleByte(tail[i + k]);
      if (allNibbles) {
        Bytes id;
        for (size_t k = 0; k < static_cast<size_t>(deviceIdLen); ++k) {
          id.push_back(static_cast<uint8_t>((tail[i + 1 + 2 * k] & 0x0F) << 4 | (tail[i + 2 + 2 * k] & 0x0F)));
        }
        meta.deviceId = std::move(id);
        i += 1 + 2 * deviceIdLen;
        continue;
      }
    }
    ++i;
  }
  return meta;
}

std::string clientNameFromBytes(ByteView tail) {
  const std::string_view text(reinterpret_cast<const char*>(tail.data()), tail.size());
  if (!Utf8::isValid(text)) return {};
  return cleanName(text);
}

}  // namespace lumenrail::PairingProtocol
