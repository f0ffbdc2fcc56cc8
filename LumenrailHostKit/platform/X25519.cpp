#include "platform/X25519.hpp"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <array>

#include "platform/Crypto.hpp"

namespace lumenrail {

namespace {

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};

std::shared_ptr<evp_pkey_st> wrap(EVP_PKEY* key) { return {key, EVP_PKEY_free}; }

}  // namespace

X25519PrivateKey X25519PrivateKey::generate() {
  SymmetricKey raw = SymmetricKey::random(kKeyBytes);
  return fromRaw(raw.bytes());
}

X25519PrivateKey X25519PrivateKey::fromRaw(ByteView raw) {
  if (raw.size() != kKeyBytes) throw CryptoError::incorrectKeySize(static_cast<int64_t>(raw.size()));
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), raw.size());
  if (key == nullptr) throw CryptoError::libraryFailure("EVP_PKEY_new_raw_private_key");
  return X25519PrivateKey(wrap(key));
}

Bytes X25519PrivateKey::publicKey() const {
  Bytes out(kKeyBytes);
  size_t len = out.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), out.data(), &len) != 1 || len != kKeyBytes) {
    throw CryptoError::libraryFailure("EVP_PKEY_get_raw_public_key");
  }
  return out;
}

SymmetricKey X25519PrivateKey::rawRepresentation() const {
  Bytes out(kKeyBytes);
  size_t len = out.size();
  if (EVP_PKEY_get_raw_private_key(key_.get(), out.data(), &len) != 1 || len != kKeyBytes) {
    Crypto::wipe(out);
    throw CryptoError::libraryFailure("EVP_PKEY_get_raw_private_key");
  }
  return SymmetricKey(std::move(out));
}

SymmetricKey X25519PrivateKey::sharedSecret(ByteView peerPublicKey) const {
  if (peerPublicKey.size() != kKeyBytes) {
    throw CryptoError::incorrectKeySize(static_cast<int64_t>(peerPublicKey.size()));
  }
  std::shared_ptr<evp_pkey_st> peer =
      wrap(EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerPublicKey.data(), peerPublicKey.size()));
  if (!peer) throw CryptoError::libraryFailure("EVP_PKEY_new_raw_public_key");
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
