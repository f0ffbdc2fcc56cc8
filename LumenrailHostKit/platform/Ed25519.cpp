#include "platform/Ed25519.hpp"

#include <openssl/evp.h>

#include "platform/Crypto.hpp"
#include "platform/Ed25519Point.hpp"
#include "platform/EvpRawKey.hpp"

namespace lumenrail {

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

}  // namespace

Ed25519PrivateKey Ed25519PrivateKey::generate() {
  SymmetricKey seed = SymmetricKey::random(kKeyBytes);
  return fromRaw(seed.bytes());
}

Ed25519PrivateKey Ed25519PrivateKey::fromRaw(ByteView seed) {
  return Ed25519PrivateKey(EvpRawKey::loadPrivate(EVP_PKEY_ED25519, seed, kKeyBytes));
}

Bytes Ed25519PrivateKey::publicKey() const {
  return EvpRawKey::publicBytes(key_.get(), kKeyBytes);
}

SymmetricKey Ed25519PrivateKey::rawRepresentation() const {
  return EvpRawKey::privateBytes(key_.get(), kKeyBytes);
}

Bytes Ed25519PrivateKey::signature(ByteView message) const {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  // Ed25519 is one-shot: no digest is named and the message goes in whole.
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_.get()) != 1) {
    throw CryptoError::libraryFailure("EVP_DigestSignInit");
  }
  Bytes sig(kSignatureBytes);
  size_t len = sig.size();
  static const uint8_t kNothing = 0;
  const uint8_t* data = message.empty() ? &kNothing : message.data();
  if (EVP_DigestSign(ctx.get(), sig.data(), &len, data, message.size()) != 1 || len != kSignatureBytes) {
    throw CryptoError::libraryFailure("EVP_DigestSign");
  }
  return sig;
}

namespace Ed25519 {

bool isAcceptablePublicKey(ByteView publicKey) noexcept {
  return Ed25519Point::classify(publicKey) == Ed25519Point::Encoding::usable;
}

bool isValidSignature(ByteView signature, ByteView message, ByteView publicKey) noexcept {
  if (signature.size() != Ed25519PrivateKey::kSignatureBytes || !isAcceptablePublicKey(publicKey)) return false;
  // EVP accepts a small-order R, and with a small-order key that forges a
  // signature on any message; S >= L would make signatures malleable.
  const ByteView r = signature.first(Ed25519PrivateKey::kKeyBytes);
  const ByteView s = signature.subspan(Ed25519PrivateKey::kKeyBytes);
  if (Ed25519Point::classify(r) != Ed25519Point::Encoding::usable || !Ed25519Point::isCanonicalScalar(s)) return false;
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), publicKey.size()), EVP_PKEY_free);
  if (!key) return false;
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx || EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1) return false;
  static const uint8_t kNothing = 0;
  const uint8_t* data = message.empty() ? &kNothing : message.data();
  return EVP_DigestVerify(ctx.get(), signature.data(), signature.size(), data, message.size()) == 1;
}

}  // namespace Ed25519

}  // namespace lumenrail
