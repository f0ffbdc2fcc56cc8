#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "platform/AesGcm.hpp"
#include "platform/Bytes.hpp"
#include "platform/SymmetricKey.hpp"
#include "secure/NonceCounter.hpp"
#include "secure/WifiCryptoError.hpp"

namespace lumenrail {

// Opens one direction of a link from bytes as they arrive, in any slicing.
// Takes no lock; one thread at a time.
class WifiRecordOpener final {
 public:
  // `key` is the receive key (32 bytes).
  explicit WifiRecordOpener(const SymmetricKey& key);

  // The joined plaintext of every record that `bytes` completes (possibly
  // empty). Throws WifiCryptoError: badRecordLength as soon as a bad length
  // prefix is complete, authenticationFailed, nonceExhausted. A call that
  // throws returns nothing, and the opener stays failed: every later call
  // throws the same error, so a caller cannot skip a rejected record.
  Bytes push(ByteView bytes);

  // Bytes held back as the start of an incomplete record: never more than one
  // record and its prefix.
  size_t bufferedByteCount() const { return buf_.size(); }

  // A length prefix above `maxLength` is refused (badRecordLength) like an
  // illegal one, for the opener's whole life: a peer that never sends more
  // cannot make it hold up to 16 MiB, not even after replaying a record that
  // opens.
  void limitRecordLength(uint32_t maxLength) { lengthLimit_ = maxLength; }
  // Records opened so far.
  uint64_t recordsOpened() const { return nonce_.counter; }

  // Tests only: reach the end of the counter without opening 2^64 records.
  void setNonceCounterForTesting(uint64_t counter) { nonce_.counter = counter; }
  // Tests only: the cipher fails on the next record as the library would.
  void failNextOpenForTesting() { failNextOpen_ = true; }

 private:
  Bytes pushChecked(ByteView bytes);
  uint32_t checkedLength(ByteView prefix) const;
  void openRecord(ByteView body, Bytes& out);

  AesGcm cipher_;
  NonceCounter nonce_;
  Bytes buf_;  // the start of a record that began in an earlier push
  std::optional<WifiCryptoError> failed_;
  std::optional<uint32_t> lengthLimit_;
  bool failNextOpen_ = false;
};

}  // namespace lumenrail
