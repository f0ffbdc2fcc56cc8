#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "platform/Bytes.hpp"
#include "platform/CryptoError.hpp"
#include "platform/SymmetricKey.hpp"

struct evp_pkey_st;

namespace lumenrail {

// An Ed25519 (RFC 8032) signing key: raw 32-byte seed, raw 32-byte public key,
// 64-byte signatures. Copies share the same immutable key.
class Ed25519PrivateKey {
 public:
  static constexpr size_t kKeyBytes = 32;
  static constexpr size_t kSignatureBytes = 64;

  static Ed25519PrivateKey generate();
  // `seed` is the raw private key; throws incorrectKeySize unless 32 bytes.
  static Ed25519PrivateKey fromRaw(ByteView seed);

  Bytes publicKey() const;
  SymmetricKey rawRepresentation() const;
  Bytes signature(ByteView message) const;

 private:
  explicit Ed25519PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}
  std::shared_ptr<evp_pkey_st> key_;
};

namespace Ed25519 {

// True for a key that can prove something: a canonical encoding of a curve
// point outside the eight of small order (all-zero and all-ff included).
bool isAcceptablePublicKey(ByteView publicKey) noexcept;

// False for a wrong signature, for a key that isAcceptablePublicKey refuses,
// for an R that is non-canonical, off the curve or of small order, for
// S >= L, and for anything that is not a 32-byte public key and a 64-byte
// signature; never throws.
bool isValidSignature(ByteView signature, ByteView message, ByteView publicKey) noexcept;

}  // namespace Ed25519

}  // namespace lumenrail
