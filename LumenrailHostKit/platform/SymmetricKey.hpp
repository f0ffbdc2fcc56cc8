#pragma once

#include <cstddef>

#include "platform/Bytes.hpp"

namespace lumenrail {

// Secret bytes (a symmetric key, a shared secret, a private key's raw form).
// The buffer never grows after construction, so no copy of the secret is left
// behind in freed memory; every instance wipes its bytes when it dies.
class SymmetricKey {
 public:
  SymmetricKey() = default;
  explicit SymmetricKey(ByteView bytes);
  // Takes the buffer over without copying; the caller's vector is left empty.
  explicit SymmetricKey(Bytes&& bytes) noexcept;
  ~SymmetricKey();

  SymmetricKey(const SymmetricKey& other);
  SymmetricKey& operator=(const SymmetricKey& other);
  SymmetricKey(SymmetricKey&& other) noexcept;
  SymmetricKey& operator=(SymmetricKey&& other) noexcept;

  // `byteCount` bytes from the system random source.
  static SymmetricKey random(size_t byteCount);

  ByteView bytes() const { return bytes_; }
  size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }

  // Constant time in the contents (the sizes are not secret).
  friend bool operator==(const SymmetricKey& a, const SymmetricKey& b);

 private:
  void wipe() noexcept;
  Bytes bytes_;
};

}  // namespace lumenrail
