#pragma once

// Raw 32-byte key import and export shared by the Curve25519 key types.

#include <cstddef>
#include <memory>

#include "platform/Bytes.hpp"
#include "platform/SymmetricKey.hpp"

struct evp_pkey_st;

namespace lumenrail::EvpRawKey {

// `type` is the OpenSSL key type (EVP_PKEY_X25519, EVP_PKEY_ED25519). Throws
// incorrectKeySize when `raw` is not `size` bytes.
std::shared_ptr<evp_pkey_st> loadPrivate(int type, ByteView raw, size_t size);
std::shared_ptr<evp_pkey_st> loadPublic(int type, ByteView raw, size_t size);
Bytes publicBytes(evp_pkey_st* key, size_t size);
SymmetricKey privateBytes(evp_pkey_st* key, size_t size);

}  // namespace lumenrail::EvpRawKey
