#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lumenrail {

// Failures of the crypto layer. Raw-key and parameter sizes carry the size
// that was offered; a library failure names the OpenSSL call that failed.
class CryptoError : public std::exception {
 public:
  enum class Kind : uint8_t {
    incorrectKeySize,
    incorrectParameterSize,
    authenticationFailure,
    lowOrderPeerKey,
    libraryFailure,
  };

  static CryptoError incorrectKeySize(int64_t size);
  static CryptoError incorrectParameterSize(int64_t size);
  static CryptoError authenticationFailure();
  static CryptoError lowOrderPeerKey();
  static CryptoError libraryFailure(std::string call);

  Kind kind;
  int64_t size = 0;   // incorrectKeySize, incorrectParameterSize
  std::string call;   // libraryFailure

  const char* what() const noexcept override { return text_.c_str(); }

 private:
  CryptoError(Kind k, int64_t s, std::string c);
  std::string text_;
};

}  // namespace lumenrail
