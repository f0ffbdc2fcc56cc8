#include "secure/WifiCryptoError.hpp"

namespace lumenrail {

WifiCryptoError::WifiCryptoError(Kind k, int64_t v) : kind(k), value(v) {
  switch (kind) {
    case Kind::badRecordLength: text_ = "badRecordLength(" + std::to_string(value) + ")"; break;
    case Kind::oversizePlaintext: text_ = "oversizePlaintext(" + std::to_string(value) + ")"; break;
    case Kind::authenticationFailed: text_ = "authenticationFailed"; break;
    case Kind::nonceExhausted: text_ = "nonceExhausted"; break;
  }
}

WifiCryptoError WifiCryptoError::badRecordLength(int64_t prefix) { return {Kind::badRecordLength, prefix}; }
WifiCryptoError WifiCryptoError::oversizePlaintext(int64_t length) { return {Kind::oversizePlaintext, length}; }
WifiCryptoError WifiCryptoError::authenticationFailed() { return {Kind::authenticationFailed, 0}; }
WifiCryptoError WifiCryptoError::nonceExhausted() { return {Kind::nonceExhausted, 0}; }

}  // namespace lumenrail
