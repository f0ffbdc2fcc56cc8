#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "platform/Bytes.hpp"
#include "platform/CryptoError.hpp"
#include "platform/SymmetricKey.hpp"

struct evp_pkey_st;

namespace lumenrail {

// An X25519 (RFC 7748) private key with raw 32-byte encodings. Copies share
// the same immutable key.
class X25519PrivateKey {
 public:
  static constexpr size_t kKeyBytes = 32;

  static X25519PrivateKey generate();
  // Throws incorrectKeySize unless `raw` holds 32 bytes.
  static X25519PrivateKey fromRaw(ByteView raw);

  Bytes publicKey() const;
  SymmetricKey rawRepresentation() const;

  // The 32-byte shared secret with a peer's raw public key. A small-order peer
  // key (one that forces an all-zero secret) throws lowOrderPeerKey: such a
  // secret is known to anyone and must never key a link.
  SymmetricKey sharedSecret(ByteView peerPublicKey) const;

  // Whether a raw public key is one of the points of order 1, 2, 4 or 8 (in
  // any of its encodings): with those, every private key gets the same
  // all-zero secret.
  static bool isSmallOrderPoint(ByteView publicKey);

 private:
  explicit X25519PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}
  std::shared_ptr<evp_pkey_st> key_;
};

}  // namespace lumenrail
