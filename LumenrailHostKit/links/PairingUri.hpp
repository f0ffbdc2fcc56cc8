#pragma once

// The pairing link shown as a QR code and as text: the host's LAN address and
// port as query parameters, the pre-shared key in the fragment so that a
// browser opening the link never sends it to the web site.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"

namespace lumenrail::PairingUri {

inline constexpr int schemaVersion = 1;

// The product web site's host (and path, when the site lives below one), from
// the build's product site root.
std::string webHost();

// https://<webHost>/pair?v=1&h=<host>&p=<port>[#k=<key, Base64url without padding>]
std::string format(std::string_view host, uint16_t port, const std::optional<Bytes>& psk = std::nullopt);

// application/x-www-form-urlencoded bytes: letters, digits and *-._ kept,
// space as +, everything else %XX.
std::string urlEncode(std::string_view text);

}  // namespace lumenrail::PairingUri
