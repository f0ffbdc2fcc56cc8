#pragma once

// The one-shot modes of the command line that print and exit: the pairing
// link, the resolved configuration and the M0 scaffold; the check that comes
// before "--render-ui".

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Bytes.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail {

// 0, or 1 without a LAN address.
int runPairUri(uint16_t port, const std::optional<Bytes>& psk);

// `settings` as resolved for the mode that would serve; always 0.
int runPrintConfig(const HostSettings& settings, bool appMode, bool isBundled);

// The virtual display and the encoder on generated frames: 0 pass, 1 fail,
// 2 for a size or rate the encoder cannot take.
int runScaffold(int64_t width, int64_t height, int64_t fps, int64_t frames, bool noVD);

// Why no file can be written into `folder` (made here when missing), in one
// line; nothing when a file can.
std::optional<std::string> unwritableFolder(const std::string& folder);

}  // namespace lumenrail
