#include "platform/X25519.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>

#include "platform/Crypto.hpp"
#include "platform/EvpRawKey.hpp"

namespace lumenrail {

namespace {

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
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
  // OpenSSL itself refuses an all-zero result; with both keys loaded that is
  // the only way this derive fails.
  if (EVP_PKEY_derive(ctx.get(), secret.data(), &len) != 1 || len != kKeyBytes) {
    Crypto::wipe(secret);
    throw CryptoError::lowOrderPeerKey();
  }
  static constexpr std::array<uint8_t, kKeyBytes> kZero{};
  if (CRYPTO_memcmp(secret.data(), kZero.data(), kKeyBytes) == 0) throw CryptoError::lowOrderPeerKey();
  return SymmetricKey(std::move(secret));
}

}  // namespace lumenrail
