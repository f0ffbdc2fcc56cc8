#pragma once

#include <cstdint>

#include "platform/Bytes.hpp"
#include "platform/SymmetricKey.hpp"

// Derives the two record keys of a sealed Wi-Fi link, one per direction.
namespace lumenrail::WifiKeySchedule {

inline constexpr int64_t keyLen = 32;    // AES-256
inline constexpr int64_t pskBytes = 24;  // a pre-shared key made by the host

enum class Role { client, host };
enum class Flavor { qrPsk, paired };  // selects the HKDF salt

struct Keys {
  SymmetricKey sendKey;
  SymmetricKey recvKey;

  bool operator==(const Keys&) const = default;
};

// The pre-shared key's bytes as input key material. Nothing per connection
// enters: every connection under one pre-shared key gets the same two keys.
// Throws std::invalid_argument for an empty key.
Keys derive(ByteView psk, Role role, Flavor flavor);

// The pairing root key as input key material (fresh for every handshake).
Keys derive(const SymmetricKey& root, Role role, Flavor flavor);

// `byteCount` bytes from the system random source; 0 gives none. A negative
// count or a failing source stops the process: no key that the source did
// not fill ever leaves here.
Bytes randomPsk(int64_t byteCount);

}  // namespace lumenrail::WifiKeySchedule
