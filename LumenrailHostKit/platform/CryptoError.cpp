#include "platform/CryptoError.hpp"

#include <utility>

namespace lumenrail {

CryptoError::CryptoError(Kind k, int64_t s, std::string c) : kind(k), size(s), call(std::move(c)) {
  switch (kind) {
    case Kind::incorrectKeySize: text_ = "incorrectKeySize(" + std::to_string(size) + ")"; break;
    case Kind::incorrectParameterSize: text_ = "incorrectParameterSize(" + std::to_string(size) + ")"; break;
    case Kind::authenticationFailure: text_ = "authenticationFailure"; break;
    case Kind::lowOrderPeerKey: text_ = "lowOrderPeerKey"; break;
    case Kind::libraryFailure: text_ = "libraryFailure(\"" + call + "\")"; break;
  }
}

CryptoError CryptoError::incorrectKeySize(int64_t size) { return {Kind::incorrectKeySize, size, {}}; }
CryptoError CryptoError::incorrectParameterSize(int64_t size) { return {Kind::incorrectParameterSize, size, {}}; }
CryptoError CryptoError::authenticationFailure() { return {Kind::authenticationFailure, 0, {}}; }
CryptoError CryptoError::lowOrderPeerKey() { return {Kind::lowOrderPeerKey, 0, {}}; }
CryptoError CryptoError::libraryFailure(std::string call) { return {Kind::libraryFailure, 0, std::move(call)}; }

}  // namespace lumenrail
