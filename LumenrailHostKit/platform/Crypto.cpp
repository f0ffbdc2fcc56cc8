#include "platform/Crypto.hpp"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

#include "platform/Log.hpp"

namespace lumenrail::Crypto {

namespace {

// OpenSSL counts in int; larger inputs go through in slices of this size.
constexpr size_t kSlice = size_t{1} << 30;

struct KdfCtxFree {
  void operator()(EVP_KDF_CTX* c) const { EVP_KDF_CTX_free(c); }
};

// Fetching walks the provider tables under a lock; do it once per process.
EVP_KDF* hkdfAlgorithm() {
  static EVP_KDF* const kdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  return kdf;
}

}  // namespace

Sha256Digest sha256(ByteView data) {
  Sha256Digest digest{};
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  bool ok = ctx != nullptr && EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) == 1;
  for (size_t at = 0; ok && at < data.size(); at += kSlice) {
    ok = EVP_DigestUpdate(ctx, data.data() + at, std::min(kSlice, data.size() - at)) == 1;
  }
  unsigned int len = 0;
  ok = ok && EVP_DigestFinal_ex(ctx, digest.data(), &len) == 1 && len == digest.size();
  EVP_MD_CTX_free(ctx);
  if (!ok) throw CryptoError::libraryFailure("SHA-256");
  return digest;
}

SymmetricKey hkdfSha256(ByteView inputKeyMaterial, ByteView salt, ByteView info, size_t length) {
  if (inputKeyMaterial.empty()) throw CryptoError::incorrectKeySize(0);
  if (length == 0 || length > 255 * kSha256Bytes) {
    throw CryptoError::incorrectParameterSize(static_cast<int64_t>(length));
  }
  EVP_KDF* kdf = hkdfAlgorithm();
  if (kdf == nullptr) throw CryptoError::libraryFailure("EVP_KDF_fetch");
  std::unique_ptr<EVP_KDF_CTX, KdfCtxFree> ctx(EVP_KDF_CTX_new(kdf));
  if (!ctx) throw CryptoError::libraryFailure("EVP_KDF_CTX_new");

  char digest[] = "SHA256";
  OSSL_PARAM params[5];
  size_t n = 0;
  params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0);
  params[n++] = OSSL_PARAM_construct_octet_string(
      OSSL_KDF_PARAM_KEY, const_cast<uint8_t*>(inputKeyMaterial.data()), inputKeyMaterial.size());
  // Absent and empty salts are the same thing in RFC 5869 (HMAC pads its key with zeros).
  if (!salt.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<uint8_t*>(salt.data()),
                                                    salt.size());
  }
  if (!info.empty()) {
    params[n++] = OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<uint8_t*>(info.data()),
                                                    info.size());
  }
  params[n] = OSSL_PARAM_construct_end();

  Bytes out(length);
  if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1) {
    wipe(out);
    throw CryptoError::libraryFailure("EVP_KDF_derive");
  }
  return SymmetricKey(std::move(out));
}

void fillRandom(std::span<uint8_t> out) {
  for (size_t at = 0; at < out.size(); at += kSlice) {
    const size_t n = std::min(kSlice, out.size() - at);
    if (RAND_bytes(out.data() + at, static_cast<int>(n)) != 1) {
      wipe(out);
      Log::lineTo(2, "ERROR: the system random source failed; stopping rather than use an unfilled key");
      std::abort();
    }
  }
}

Bytes randomBytes(size_t count) {
  Bytes out(count);
  fillRandom(out);
  return out;
}

void releaseThreadState() noexcept { OPENSSL_thread_stop(); }

void wipe(std::span<uint8_t> secret) noexcept {
  if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
}

void wipe(Bytes& secret) noexcept {
  wipe(std::span<uint8_t>(secret));
  secret.clear();
}

}  // namespace lumenrail::Crypto
