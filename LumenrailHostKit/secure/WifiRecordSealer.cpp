#include "secure/WifiRecordSealer.hpp"

#include "secure/WifiCryptoError.hpp"
#include "secure/WifiRecord.hpp"

namespace lumenrail {

WifiRecordSealer::WifiRecordSealer(const SymmetricKey& key) : cipher_(key) {}

Bytes WifiRecordSealer::seal(ByteView plaintext) {
  const auto length = static_cast<int64_t>(plaintext.size());
  if (length > WifiRecord::maxPlaintext) throw WifiCryptoError::oversizePlaintext(length);
  const auto nonce = nonce_.next();
  Bytes record;
  record.reserve(WifiRecord::lenPrefix + plaintext.size() + WifiRecord::tagBytes);
  ByteOrder::appendLE32(record, static_cast<uint32_t>(plaintext.size() + WifiRecord::tagBytes));
  cipher_.seal(nonce, plaintext, record);
  return record;
}

}  // namespace lumenrail
