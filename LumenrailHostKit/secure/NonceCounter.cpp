#include "secure/NonceCounter.hpp"

#include "secure/WifiCryptoError.hpp"

namespace lumenrail {

std::array<uint8_t, 12> NonceCounter::next() {
  if (counter == kExhausted) throw WifiCryptoError::nonceExhausted();
  std::array<uint8_t, 12> nonce{};
  for (int i = 0; i < 8; ++i) nonce[4 + i] = static_cast<uint8_t>(counter >> (56 - 8 * i));
  ++counter;
  return nonce;
}

}  // namespace lumenrail
