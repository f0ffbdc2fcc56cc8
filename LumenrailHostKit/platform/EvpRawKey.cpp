#include "platform/EvpRawKey.hpp"

#include <openssl/evp.h>

#include "platform/Crypto.hpp"
#include "platform/CryptoError.hpp"

namespace lumenrail::EvpRawKey {

namespace {
std::shared_ptr<evp_pkey_st> wrap(EVP_PKEY* key) { return {key, EVP_PKEY_free}; }

void requireSize(ByteView raw, size_t size) {
  if (raw.size() != size) throw CryptoError::incorrectKeySize(static_cast<int64_t>(raw.size()));
}
}  // namespace

std::shared_ptr<evp_pkey_st> loadPrivate(int type, ByteView raw, size_t size) {
  requireSize(raw, size);
  EVP_PKEY* key = EVP_PKEY_new_raw_private_key(type, nullptr, raw.data(), raw.size());
  if (key == nullptr) throw CryptoError::libraryFailure("EVP_PKEY_new_raw_private_key");
  return wrap(key);
}

std::shared_ptr<evp_pkey_st> loadPublic(int type, ByteView raw, size_t size) {
  requireSize(raw, size);
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(type, nullptr, raw.data(), raw.size());
  if (key == nullptr) throw CryptoError::libraryFailure("EVP_PKEY_new_raw_public_key");
  return wrap(key);
}

Bytes publicBytes(evp_pkey_st* key, size_t size) {
  Bytes out(size);
  size_t len = out.size();
  if (EVP_PKEY_get_raw_public_key(key, out.data(), &len) != 1 || len != size) {
    throw CryptoError::libraryFailure("EVP_PKEY_get_raw_public_key");
  }
  return out;
}

SymmetricKey privateBytes(evp_pkey_st* key, size_t size) {
  Bytes out(size);
  size_t len = out.size();
  if (EVP_PKEY_get_raw_private_key(key, out.data(), &len) != 1 || len != size) {
    Crypto::wipe(out);
    throw CryptoError::libraryFailure("EVP_PKEY_get_raw_private_key");
  }
  return SymmetricKey(std::move(out));
}

}  // namespace lumenrail::EvpRawKey
