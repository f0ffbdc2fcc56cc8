#include "secure/WifiRecordOpener.hpp"

#include <algorithm>

#include "platform/CryptoError.hpp"
#include "secure/WifiRecord.hpp"

namespace lumenrail {

namespace {

constexpr size_t kKeptCapacity = size_t{1} << 20;

}  // namespace

// n - 16 taken as unsigned above 16 MiB: below 16 or above 0x1000010.
uint32_t WifiRecordOpener::checkedLength(ByteView prefix) const {
  const uint32_t n = WifiRecord::decodeLength(prefix);
  if (static_cast<uint32_t>(n - WifiRecord::tagBytes) > static_cast<uint32_t>(WifiRecord::maxPlaintext)) {
    throw WifiCryptoError::badRecordLength(n);
  }
  if (lengthLimit_ && n > *lengthLimit_) throw WifiCryptoError::badRecordLength(n);
  return n;
}

WifiRecordOpener::WifiRecordOpener(const SymmetricKey& key) : cipher_(key) {}

Bytes WifiRecordOpener::push(ByteView bytes) {
  if (failed_) throw *failed_;
  try {
    return pushChecked(bytes);
  } catch (const WifiCryptoError& error) {
    failed_ = error;
    throw;
  }
}

// Whole records are opened straight out of `bytes` behind a read offset, so a
// push of many small records costs time linear in its size; only the start of
// an incomplete record is copied into `buf_`. A length prefix is judged as
// soon as its fourth byte is there, before any of the body is kept.
Bytes WifiRecordOpener::pushChecked(ByteView bytes) {
  Bytes out;
  // Room for what the new bytes can hold; a buffered record grows `out` once
  // when it completes. Reserving for `buf_` too would cost a large allocation
  // on every push of a large record fed in small pieces.
  out.reserve(bytes.size());
  size_t at = 0;

  if (!buf_.empty()) {
    if (buf_.size() < WifiRecord::lenPrefix) {
      const size_t take = std::min<size_t>(WifiRecord::lenPrefix - buf_.size(), bytes.size());
      buf_.insert(buf_.end(), bytes.begin(), bytes.begin() + take);
      at = take;
      if (buf_.size() < WifiRecord::lenPrefix) return out;
    }
    const size_t whole = WifiRecord::lenPrefix + checkedLength(buf_);
    const size_t take = std::min(whole - buf_.size(), bytes.size() - at);
    buf_.insert(buf_.end(), bytes.begin() + at, bytes.begin() + at + take);
    at += take;
    if (buf_.size() < whole) return out;
    openRecord(ByteView(buf_).subspan(WifiRecord::lenPrefix), out);
    buf_.clear();
    // Records are usually small; do not keep a 16 MiB buffer for the
    // connection's life because of one large record.
    if (buf_.capacity() > kKeptCapacity) Bytes().swap(buf_);
  }

  while (bytes.size() - at >= WifiRecord::lenPrefix) {
    const size_t n = checkedLength(bytes.subspan(at));
    if (bytes.size() - at - WifiRecord::lenPrefix < n) break;
    openRecord(bytes.subspan(at + WifiRecord::lenPrefix, n), out);
    at += WifiRecord::lenPrefix + n;
  }
  buf_.assign(bytes.begin() + at, bytes.end());
  return out;
}

void WifiRecordOpener::openRecord(ByteView body, Bytes& out) {
  const auto nonce = nonce_.next();
  try {
    if (failNextOpen_) {
      failNextOpen_ = false;
      throw CryptoError::libraryFailure("EVP_DecryptUpdate");
    }
    cipher_.open(nonce, body, out);
  } catch (const CryptoError&) {
    // However the cipher failed, the record did not open and its nonce is
    // spent: the opener must fail for good, which only a WifiCryptoError does.
    throw WifiCryptoError::authenticationFailed();
  }
}

}  // namespace lumenrail
