#pragma once

// Hashing, key derivation, randomness and wiping on OpenSSL 3. The key types
// and the AEAD live beside this file (X25519, Ed25519, AesGcm, SymmetricKey).

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/Bytes.hpp"
#include "platform/CryptoError.hpp"
#include "platform/SymmetricKey.hpp"

namespace lumenrail::Crypto {

inline constexpr size_t kSha256Bytes = 32;
using Sha256Digest = std::array<uint8_t, kSha256Bytes>;

Sha256Digest sha256(ByteView data);

// HKDF-SHA256 (RFC 5869), extract and expand. An empty salt means the RFC's
// default (HashLen zero bytes). The input key material must not be empty
// (incorrectKeySize(0)); `length` is 1 to 255 * 32 (else incorrectParameterSize).
SymmetricKey hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, size_t length);

// Fills from the system random source. If the source fails the process aborts:
// a key made from unfilled memory must never leave this function.
void fillRandom(std::span<uint8_t> out);
Bytes randomBytes(size_t count);

// Frees what OpenSSL keeps for the calling thread, which it would otherwise
// free as the thread exits. A detached thread calls it before it reports
// itself done: an exit nobody waits for may overlap the process's own, whose
// OpenSSL cleanup frees the locks that per-thread teardown takes.
void releaseThreadState() noexcept;

// Overwrites secrets in a way the optimiser cannot drop.
void wipe(std::span<uint8_t> secret) noexcept;
void wipe(Bytes& secret) noexcept;  // and empties it

}  // namespace lumenrail::Crypto
