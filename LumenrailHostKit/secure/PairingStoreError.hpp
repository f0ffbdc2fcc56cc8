#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace lumenrail {

// Failures of the pairing folder, the identity key file and the
// paired-devices file. `detail` names the file and the system's reason;
// what() reads like "writeFailed(\"rename ...: No space left on device\")".
class PairingStoreError : public std::exception {
 public:
  enum class Kind : uint8_t {
    directoryFailed,        // the pairing folder could not be made
    readFailed,             // a file exists but could not be read
    writeFailed,            // a file could not be replaced; the old one stands
    unreadableFileInPlace,  // an unreadable paired-devices file could not be moved aside
    notPrivate,             // another user owns or may write the folder or a file
  };

  static PairingStoreError directoryFailed(std::string detail);
  static PairingStoreError readFailed(std::string detail);
  static PairingStoreError writeFailed(std::string detail);
  static PairingStoreError unreadableFileInPlace(std::string detail);
  static PairingStoreError notPrivate(std::string detail);

  Kind kind;
  std::string detail;

  const char* what() const noexcept override { return text_.c_str(); }

 private:
  PairingStoreError(Kind k, std::string d);
  std::string text_;
};

}  // namespace lumenrail
