#include "platform/SymmetricKey.hpp"

#include <openssl/crypto.h>

#include <utility>

#include "platform/Crypto.hpp"

namespace lumenrail {

SymmetricKey::SymmetricKey(ByteView bytes) : bytes_(bytes.begin(), bytes.end()) {}

SymmetricKey::SymmetricKey(Bytes&& bytes) noexcept : bytes_(std::move(bytes)) { bytes.clear(); }

SymmetricKey::~SymmetricKey() { wipe(); }

SymmetricKey::SymmetricKey(const SymmetricKey& other) : bytes_(other.bytes_) {}

SymmetricKey& SymmetricKey::operator=(const SymmetricKey& other) {
  if (this != &other) {
    wipe();
    bytes_ = Bytes(other.bytes_);
  }
  return *this;
}

SymmetricKey::SymmetricKey(SymmetricKey&& other) noexcept : bytes_(std::move(other.bytes_)) {
  other.bytes_.clear();
}

SymmetricKey& SymmetricKey::operator=(SymmetricKey&& other) noexcept {
  if (this != &other) {
    wipe();
    bytes_ = std::move(other.bytes_);
    other.bytes_.clear();
  }
  return *this;
}

SymmetricKey SymmetricKey::random(size_t byteCount) { return SymmetricKey(Crypto::randomBytes(byteCount)); }

bool operator==(const SymmetricKey& a, const SymmetricKey& b) {
  if (a.bytes_.size() != b.bytes_.size()) return false;
  if (a.bytes_.empty()) return true;
  return CRYPTO_memcmp(a.bytes_.data(), b.bytes_.data(), a.bytes_.size()) == 0;
}

void SymmetricKey::wipe() noexcept {
  if (!bytes_.empty()) OPENSSL_cleanse(bytes_.data(), bytes_.size());
  bytes_.clear();
}

}  // namespace lumenrail
