#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lumenrail {

// Failures of the Wi-Fi record layer. what() is the text the session server
// puts in its log line: the case name, then its value in parentheses.
class WifiCryptoError : public std::exception {
 public:
  enum class Kind : uint8_t {
    badRecordLength,
    oversizePlaintext,
    authenticationFailed,
    nonceExhausted,
  };

  static WifiCryptoError badRecordLength(int64_t prefix);
  static WifiCryptoError oversizePlaintext(int64_t length);
  static WifiCryptoError authenticationFailed();
  static WifiCryptoError nonceExhausted();

  Kind kind;
  int64_t value = 0;  // badRecordLength: the prefix; oversizePlaintext: the length

  const char* what() const noexcept override { return text_.c_str(); }

 private:
  WifiCryptoError(Kind k, int64_t v);
  std::string text_;
};

}  // namespace lumenrail
