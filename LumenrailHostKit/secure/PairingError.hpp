#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lumenrail {

// Failures of the pairing prologue's messages and of calling its steps out of
// order. what() is the text the session server logs: "malformed(\"...\")".
class PairingError : public std::exception {
 public:
  enum class Kind : uint8_t { malformed, outOfOrder };

  static PairingError malformed(std::string detail);
  static PairingError outOfOrder(std::string detail);

  Kind kind;
  std::string detail;

  const char* what() const noexcept override { return text_.c_str(); }

 private:
  PairingError(Kind k, std::string d);
  std::string text_;
};

}  // namespace lumenrail
