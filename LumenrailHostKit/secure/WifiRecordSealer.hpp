#pragma once

#include <cstdint>

#include "platform/AesGcm.hpp"
#include "platform/Bytes.hpp"
#include "platform/SymmetricKey.hpp"
#include "secure/NonceCounter.hpp"

namespace lumenrail {

// Seals one direction of a link: each call makes one whole record. Takes no
// lock; one thread at a time.
class WifiRecordSealer final {
 public:
  // `key` is the send key (32 bytes).
  explicit WifiRecordSealer(const SymmetricKey& key);

  // Throws WifiCryptoError: oversizePlaintext (no counter value is used) or
  // nonceExhausted.
  Bytes seal(ByteView plaintext);

  // Tests only: reach the end of the counter without sealing 2^64 records.
  void setNonceCounterForTesting(uint64_t counter) { nonce_.counter = counter; }

 private:
  AesGcm cipher_;
  NonceCounter nonce_;
};

}  // namespace lumenrail
