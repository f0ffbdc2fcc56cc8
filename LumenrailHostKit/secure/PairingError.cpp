#include "secure/PairingError.hpp"

#include <utility>

namespace lumenrail {

PairingError::PairingError(Kind k, std::string d) : kind(k), detail(std::move(d)) {
  text_ = (kind == Kind::malformed ? "malformed(\"" : "outOfOrder(\"") + detail + "\")";
}

PairingError PairingError::malformed(std::string detail) { return {Kind::malformed, std::move(detail)}; }
PairingError PairingError::outOfOrder(std::string detail) { return {Kind::outOfOrder, std::move(detail)}; }

}  // namespace lumenrail
