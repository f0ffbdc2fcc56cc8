#include "platform/X25519.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <array>

#include "platform/Crypto.hpp"
#include "platform/EvpRawKey.hpp"

namespace lumenrail {

namespace {

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

using Point = std::array<uint8_t, X25519PrivateKey::kKeyBytes>;

// The small-order u-coordinates, little-endian, with bit 255 clear (the
// function ignores it): 0, 1, the two of order 8, p - 1, and p and p + 1 as
// the other encodings of 0 and 1.
constexpr Point kSmallOrder[] = {
    {},
    {0x01},
    {0xe0, 0xeb, 0x7a, 0x7c, 0x3b, 0x41, 0xb8, 0xae, 0x16, 0x56, 0xe3, 0xfa, 0xf1, 0x9f, 0xc4, 0x6a,
     0xda, 0x09, 0x8d, 0xeb, 0x9c, 0x32, 0xb1, 0xfd, 0x86, 0x62, 0x05, 0x16, 0x5f, 0x49, 0xb8, 0x00},
    {0x5f, 0x9c, 0x95, 0xbc, 0xa3, 0x50, 0x8c, 0x24, 0xb1, 0xd0, 0xb1, 0x55, 0x9c, 0x83, 0xef, 0x5b,
     0x04, 0x44, 0x5c, 0xc4, 0x58, 0x1c, 0x8e, 0x86, 0xd8, 0x22, 0x4e, 0xdd, 0xd0, 0x9f, 0x11, 0x57},
    {0xec, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xed, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
    {0xee, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f},
};

}  // namespace

X25519PrivateKey X25519PrivateKey::generate() {
  SymmetricKey raw = SymmetricKey::random(kKeyBytes);
  return fromRaw(raw.bytes());
}

X25519PrivateKey X25519PrivateKey::fromRaw(ByteView raw) {
  return X25519PrivateKey(EvpRawKey::loadPrivate(EVP_PKEY_X25519, raw, kKeyBytes));
}

Bytes X25519PrivateKey::publicKey() const {
  return EvpRawKey::publicBytes(key_.get(), kKeyBytes);
}

SymmetricKey X25519PrivateKey::rawRepresentation() const {
  return EvpRawKey::privateBytes(key_.get(), kKeyBytes);
}

SymmetricKey X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
  std::shared_ptr<evp_pkey_st> peer = EvpRawKey::loadPublic(EVP_PKEY_X25519, peerPublicKey, kKeyBytes);
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new(key_.get(), nullptr));
  if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1) throw CryptoError::libraryFailure("EVP_PKEY_derive_init");
  if (EVP_PKEY_derive_set_peer(ctx.get(), peer.get()) != 1) {
    throw CryptoError::libraryFailure("EVP_PKEY_derive_set_peer");
  }
  Bytes secret(kKeyBytes);
  size_t len = secret.size();
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) != 1 || len != kKeyBytes) {
    Crypto::wipe(secret);
    // OpenSSL 3 refuses to derive the all-zero secret that a small-order
    // peer key forces and says only that derivation failed; the key itself
    // tells that case apart from a failure of the library.
    if (isSmallOrderPoint(peerPublicKey)) throw CryptoError::lowOrderPeerKey();
    throw CryptoError::libraryFailure("EVP_PKEY_derive");
  }
  static constexpr std::array<uint8_t, kKeyBytes> kZero{};
  if (CRYPTO_memcmp(secret.data(), kZero.data(), kKeyBytes) == 0) throw CryptoError::lowOrderPeerKey();
  return SymmetricKey(std::move(secret));
}

bool X25519PrivateKey::isSmallOrderPoint(ByteView publicKey) {
  if (publicKey.size() != kKeyBytes) return false;
  Point masked;
  std::copy(publicKey.begin(), publicKey.end(), masked.begin());
  masked[kKeyBytes - 1] &= 0x7f;
  for (const Point& point : kSmallOrder) {
    if (masked == point) return true;
  }
  return false;
}

}  // namespace lumenrail
