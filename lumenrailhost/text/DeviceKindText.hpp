#pragma once

#include <optional>
#include <string>

#include "secure/PairingProtocol.hpp"

namespace lumenrail::DeviceKindText {

// The localised name of a kind of client device; nothing for `unknown`.
std::optional<std::string> label(PairingProtocol::DeviceKind kind);

}  // namespace lumenrail::DeviceKindText
