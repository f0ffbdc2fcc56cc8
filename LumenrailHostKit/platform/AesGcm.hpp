#pragma once

#include <cstddef>
#include <memory>

#include "platform/Bytes.hpp"
#include "platform/CryptoError.hpp"
#include "platform/SymmetricKey.hpp"

namespace lumenrail {

// AES-256-GCM with a 12-byte nonce, a 16-byte tag and no additional data.
// The key schedule is set up once per object, so sealing many records under
// one key costs only the nonce change. One thread at a time.
class AesGcm final {
 public:
  static constexpr size_t kKeyBytes = 32;
  static constexpr size_t kNonceBytes = 12;
  static constexpr size_t kTagBytes = 16;

  // Throws incorrectKeySize unless the key holds 32 bytes.
  explicit AesGcm(const SymmetricKey& key);
  ~AesGcm();
  AesGcm(AesGcm&&) noexcept;
  AesGcm& operator=(AesGcm&&) noexcept;
  AesGcm(const AesGcm&) = delete;
  AesGcm& operator=(const AesGcm&) = delete;

  // Appends ciphertext then tag to `out`. `plaintext` must not point into `out`.
  void seal(ByteView nonce, ByteView plaintext, Bytes& out);
  Bytes seal(ByteView nonce, ByteView plaintext);

  // `sealed` is ciphertext then tag. The plaintext is appended to `out` only
  // once the tag has verified; otherwise `out` is left as it was and
  // authenticationFailure is thrown. `sealed` must not point into `out`.
  void open(ByteView nonce, ByteView sealed, Bytes& out);
  Bytes open(ByteView nonce, ByteView sealed);

 private:
  struct Contexts;
  std::unique_ptr<Contexts> ctx_;
};

}  // namespace lumenrail
