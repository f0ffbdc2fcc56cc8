#include "secure/PairingStoreError.hpp"

#include <utility>

namespace lumenrail {

PairingStoreError::PairingStoreError(Kind k, std::string d) : kind(k), detail(std::move(d)) {
  const char* name = "";
  switch (kind) {
    case Kind::directoryFailed: name = "directoryFailed"; break;
    case Kind::readFailed: name = "readFailed"; break;
    case Kind::writeFailed: name = "writeFailed"; break;
    case Kind::unreadableFileInPlace: name = "unreadableFileInPlace"; break;
    case Kind::notPrivate: name = "notPrivate"; break;
  }
  text_ = std::string(name) + "(\"" + detail + "\")";
}

PairingStoreError PairingStoreError::directoryFailed(std::string d) { return {Kind::directoryFailed, std::move(d)}; }
PairingStoreError PairingStoreError::readFailed(std::string d) { return {Kind::readFailed, std::move(d)}; }
PairingStoreError PairingStoreError::writeFailed(std::string d) { return {Kind::writeFailed, std::move(d)}; }
PairingStoreError PairingStoreError::unreadableFileInPlace(std::string d) {
  return {Kind::unreadableFileInPlace, std::move(d)};
}

PairingStoreError PairingStoreError::notPrivate(std::string d) { return {Kind::notPrivate, std::move(d)}; }

}  // namespace lumenrail
