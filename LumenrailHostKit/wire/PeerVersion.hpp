#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/Bytes.hpp"
#include "wire/HostUpdate.hpp"

namespace lumenrail {

enum class PeerPlatform : uint8_t { unknown = 0, android = 1, ios = 2, windows = 3, macos = 4, linux = 5 };

namespace PeerPlatforms {
// Codes 0..5 map to their case, every other code to unknown.
PeerPlatform fromCode(uint8_t code);
std::string_view label(PeerPlatform platform);
}  // namespace PeerPlatforms

// The version report both ends exchange in a peerVersion packet. A client's
// report ends after its version text; the host's always carries the tail
// (client floor and the host's update state).
struct PeerVersion {
  static constexpr size_t maxVersionLen = 23;

  int64_t wireLevel = 0;
  PeerPlatform platform = PeerPlatform::unknown;
  std::string version;
  int64_t minClientLevel = 0;
  HostUpdate hostUpdate = HostUpdate::none;
  std::string updateVersion;

  static PeerVersion levelZero() { return {}; }

  // The whole peerVersion packet, header included.
  Bytes encode(bool withHostTail) const;
  // Lenient but bounded; nothing when the payload is malformed.
  static std::optional<PeerVersion> decode(ByteView payload);
  // "macos 1.0.9 level 2"; control bytes of a peer's text are shown as '?'.
  std::string summary() const;

  bool operator==(const PeerVersion&) const = default;
};

}  // namespace lumenrail
