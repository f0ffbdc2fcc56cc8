#pragma once

// Exact-length reads of one session's plaintext stream, opening records as
// they come on a sealed link. Keeps a read offset so that many small records
// stay linear.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/Crypto.hpp"

namespace lumenrail {

class WifiRecordOpener;

class PlaintextReader final {
 public:
  // Told the line of a rejected record, and whether no record had opened yet
  // (then anyone may have sent it).
  using Rejected = std::function<void(const std::string& line, bool beforeFirstRecord)>;

  // `opener`: nothing on a plain link; it outlives the reader.
  PlaintextReader(int fd, WifiRecordOpener* opener, Rejected rejected);
  PlaintextReader(const PlaintextReader&) = delete;
  PlaintextReader& operator=(const PlaintextReader&) = delete;

  // False when the input has ended or a record was rejected.
  bool readFully(uint8_t* out, size_t n);
  // Sealed links: reads until the first record has opened, by `deadlineNs` on
  // `clock`, looking in slices of `sliceNs` so that `stopped` and the
  // deadline are both noticed while the peer sends nothing.
  bool awaitFirstRecord(uint64_t deadlineNs, const NowNs& clock, uint64_t sliceNs, const std::atomic<bool>& stopped,
                        bool& timedOut);
  // The plaintext of the first record when it opened alone: a replay of a
  // recorded first record opens to the same.
  const std::optional<Crypto::Sha256Digest>& firstRecord() const { return firstRecord_; }

 private:
  // One recv, and the plaintext of every record it completes.
  bool receive();

  int fd_;
  WifiRecordOpener* opener_;
  Rejected rejected_;
  Bytes plain_;
  size_t pos_ = 0;
  Bytes raw_;
  std::optional<Crypto::Sha256Digest> firstRecord_;
};

}  // namespace lumenrail
