#pragma once

// The pairing prologue that precedes the wire stream on a pairing connection:
// an X25519 agreement bound to both sides' Ed25519 identity keys. Frames,
// constants and the pure functions both sides share; HostHandshake and
// ClientHandshake hold the per-connection state.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"
#include "platform/Ed25519.hpp"
#include "platform/SymmetricKey.hpp"
#include "secure/PairingError.hpp"

namespace lumenrail::PairingProtocol {

inline constexpr std::array<uint8_t, 4> magic = {'L', 'R', 'P', '1'};

inline constexpr uint8_t typeClientKeyx = 1;
inline constexpr uint8_t typeHostKeyx = 2;
inline constexpr uint8_t typeClientConfirm = 3;
inline constexpr uint8_t typeHostReject = 4;

inline constexpr int64_t hostRejectLen = 1;
inline constexpr uint8_t rejectUnknownDevice = 1;

inline constexpr uint8_t tailFlagNoSasUi = 1;
inline constexpr uint8_t tailMetaDeviceId = 2;
inline constexpr uint8_t tailMetaDeviceKind = 3;

inline constexpr int64_t deviceIdLen = 8;
inline constexpr int64_t keyLen = 32;
inline constexpr int64_t sigLen = 64;
inline constexpr int64_t headerLen = 3;
inline constexpr int64_t clientKeyxLen = 64;
inline constexpr int64_t hostKeyxLen = 128;
inline constexpr int64_t clientConfirmLen = 65;
inline constexpr int64_t clientNameMax = 64;  // the whole tail: flag, metadata and name
inline constexpr int64_t maxPayload = 128;

enum class DeviceKind : uint8_t { unknown = 0, android = 1, androidTv = 2, iPhone = 3, iPad = 4, appleTv = 5 };

inline constexpr std::array<DeviceKind, 6> allDeviceKinds = {DeviceKind::unknown, DeviceKind::android,
                                                             DeviceKind::androidTv, DeviceKind::iPhone,
                                                             DeviceKind::iPad, DeviceKind::appleTv};

// No value for 6 and above.
std::optional<DeviceKind> from(uint8_t raw);
// Anything outside 0-5 is `unknown`.
DeviceKind deviceKindOf(int64_t raw);

struct TailMeta {
  std::optional<Bytes> deviceId;  // 8 bytes when present
  DeviceKind kind = DeviceKind::unknown;
  bool operator==(const TailMeta&) const = default;
};

// Frames: type, LE16 payload length, payload. Throws std::invalid_argument for
// a payload over 65,535 bytes (no message of the prologue exceeds 128).
Bytes encode(uint8_t type, ByteView payload);
// Need at least 1 and 3 header bytes (std::invalid_argument otherwise).
uint8_t headerType(ByteView header);
uint16_t headerLength(ByteView header);

// epkC ‖ idPubC ‖ epkH ‖ idPubH, client values first; each part 32 bytes,
// else malformed("bad transcript component length").
Bytes transcript(ByteView epkC, ByteView idPubC, ByteView epkH, ByteView idPubH);

// HKDF-SHA256 of the ephemeral shared secret, salted with the root label and
// bound to the whole transcript.
SymmetricKey deriveRoot(const SymmetricKey& sharedSecret, ByteView transcript);

// The six-digit code both screens show ("%06d").
std::string sasDigits(ByteView transcript);

// 11 characters of Base64url: the first 8 bytes of SHA-256 of the raw key.
std::string fingerprint(ByteView identityPublicKey);

Bytes hostSignature(const Ed25519PrivateKey& identity, ByteView transcript);
Bytes clientSignature(const Ed25519PrivateKey& identity, ByteView transcript);
// False for a wrong signature and for anything that is not a valid key.
bool verifyHostSignature(ByteView identityPublicKey, ByteView transcript, ByteView signature);
bool verifyClientSignature(ByteView identityPublicKey, ByteView transcript, ByteView signature);

// The 8-byte id a client derives from a text of its choosing.
Bytes deviceIdFrom(std::string_view text);
std::string deviceIdHex(ByteView bytes);

// Removes every control and format character (Unicode Cc and Cf, so also
// bidirectional overrides and zero-width joiners) from valid UTF-8. Names the
// owner sees or the store keeps go through this.
std::string withoutControlCharacters(std::string_view text);

// The client's tail: optional no-SAS flag, metadata, then the cleaned name
// cut at a character boundary so that the tail never exceeds 64 bytes. A
// device id that is not exactly 8 bytes is left out.
Bytes clientKeyxTail(std::string_view name, bool canShowSas, const std::optional<Bytes>& deviceId,
                     DeviceKind kind);
Bytes metaBytes(const std::optional<Bytes>& deviceId, DeviceKind kind);

// Readers of a received tail; each scans the whole tail.
bool clientTailCanShowSas(ByteView tail);
TailMeta clientTailMeta(ByteView tail);
// Empty for a tail that is not valid UTF-8.
std::string clientNameFromBytes(ByteView tail);

}  // namespace lumenrail::PairingProtocol
