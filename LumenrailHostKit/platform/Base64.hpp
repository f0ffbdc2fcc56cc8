#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"

// RFC 4648 Base64. Decoders are strict: they accept exactly what the matching
// encoder produces (no white space, no stray or missing padding, zero unused
// bits), so one value has one text and a key can be compared as text.
namespace lumenrail::Base64 {

// Standard alphabet with "=" padding.
std::string encode(ByteView data);
std::optional<Bytes> decode(std::string_view text);

// URL-safe alphabet ("-" and "_") without padding.
std::string encodeUrl(ByteView data);
std::optional<Bytes> decodeUrl(std::string_view text);

}  // namespace lumenrail::Base64
