#include "platform/AesGcm.hpp"

#include <openssl/evp.h>

#include <algorithm>

#include "platform/Crypto.hpp"

namespace lumenrail {

namespace {

// EVP counts in int; longer inputs go through in slices (a multiple of the block size).
constexpr size_t kSlice = size_t{1} << 30;

struct CipherCtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxFree>;

CipherCtx makeContext(const SymmetricKey& key, bool encrypt) {
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) throw CryptoError::libraryFailure("EVP_CIPHER_CTX_new");
  // The key schedule stays in the context; only the nonce changes per message.
  if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, key.bytes().data(), nullptr, encrypt ? 1 : 0) != 1) {
    throw CryptoError::libraryFailure("EVP_CipherInit_ex");
  }
  return ctx;
}

void requireNonce(ByteView nonce) {
  if (nonce.size() != AesGcm::kNonceBytes) {
    throw CryptoError::incorrectParameterSize(static_cast<int64_t>(nonce.size()));
  }
}

}  // namespace

struct AesGcm::Contexts {
  CipherCtx seal;
  CipherCtx open;
};

AesGcm::AesGcm(const SymmetricKey& key) {
  if (key.size() != kKeyBytes) throw CryptoError::incorrectKeySize(static_cast<int64_t>(key.size()));
  ctx_ = std::make_unique<Contexts>(Contexts{makeContext(key, true), makeContext(key, false)});
}

AesGcm::~AesGcm() = default;
AesGcm::AesGcm(AesGcm&&) noexcept = default;
AesGcm& AesGcm::operator=(AesGcm&&) noexcept = default;

void AesGcm::seal(ByteView nonce, ByteView plaintext, Bytes& out) {
  requireNonce(nonce);
  EVP_CIPHER_CTX* c = ctx_->seal.get();
  if (EVP_EncryptInit_ex(c, nullptr, nullptr, nullptr, nonce.data()) != 1) {
    throw CryptoError::libraryFailure("EVP_EncryptInit_ex");
  }
  const size_t start = out.size();
  out.resize(start + plaintext.size() + kTagBytes);
  uint8_t* dst = out.data() + start;
  for (size_t at = 0; at < plaintext.size(); at += kSlice) {
    const int n = static_cast<int>(std::min(kSlice, plaintext.size() - at));
    int written = 0;
    if (EVP_EncryptUpdate(c, dst + at, &written, plaintext.data() + at, n) != 1 || written != n) {
      out.resize(start);
      throw CryptoError::libraryFailure("EVP_EncryptUpdate");
    }
  }
  int written = 0;
  if (EVP_EncryptFinal_ex(c, dst + plaintext.size(), &written) != 1 || written != 0 ||
      EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagBytes), dst + plaintext.size()) != 1) {
    out.resize(start);
    throw CryptoError::libraryFailure("EVP_EncryptFinal_ex");
  }
}

Bytes AesGcm::seal(ByteView nonce, ByteView plaintext) {
  Bytes out;
  out.reserve(plaintext.size() + kTagBytes);
  seal(nonce, plaintext, out);
  return out;
}

void AesGcm::open(ByteView nonce, ByteView sealed, Bytes& out) {
  requireNonce(nonce);
  if (sealed.size() < kTagBytes) throw CryptoError::authenticationFailure();
  const size_t textLen = sealed.size() - kTagBytes;
  EVP_CIPHER_CTX* c = ctx_->open.get();
  if (EVP_DecryptInit_ex(c, nullptr, nullptr, nullptr, nonce.data()) != 1) {
    throw CryptoError::libraryFailure("EVP_DecryptInit_ex");
  }
  const size_t start = out.size();
  out.resize(start + textLen);
  uint8_t* dst = out.data() + start;
  // Decrypted bytes are unauthenticated until the final step; on any failure
  // they are wiped and cut off before the caller can see them.
  auto discard = [&] {
    Crypto::wipe(std::span<uint8_t>(dst, textLen));
    out.resize(start);
  };
  for (size_t at = 0; at < textLen; at += kSlice) {
    const int n = static_cast<int>(std::min(kSlice, textLen - at));
    int written = 0;
    if (EVP_DecryptUpdate(c, dst + at, &written, sealed.data() + at, n) != 1 || written != n) {
      discard();
      throw CryptoError::libraryFailure("EVP_DecryptUpdate");
    }
  }
  // OpenSSL copies the expected tag in; it does not write through the pointer.
  if (EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagBytes),
                          const_cast<uint8_t*>(sealed.data() + textLen)) != 1) {
    discard();
    throw CryptoError::libraryFailure("EVP_CTRL_GCM_SET_TAG");
  }
  uint8_t scratch[16];
  int written = 0;
  if (EVP_DecryptFinal_ex(c, scratch, &written) != 1) {
    discard();
    throw CryptoError::authenticationFailure();
  }
}

Bytes AesGcm::open(ByteView nonce, ByteView sealed) {
  Bytes out;
  out.reserve(sealed.size());
  open(nonce, sealed, out);
  return out;
}

}  // namespace lumenrail
