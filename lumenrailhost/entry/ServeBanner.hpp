#pragma once

// What a device needs to reach a host that has just started serving: the
// addresses and port it can dial, the pairing link, and that link as a QR code
// drawn in the terminal, so a phone can scan it off the console.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/windows/QrCode.hpp"
#include "links/LanAddress.hpp"
#include "platform/Bytes.hpp"

namespace lumenrail::ServeBanner {

// Two module rows per text row in half blocks, black on bright white (set
// explicitly, so the code reads the same on a dark or a light terminal), with
// the four-module quiet zone; every row ends in a reset and a line end.
std::string terminalQr(const QrCode::Matrix& matrix);

// The lines to print; `qr` adds the drawn code after the link.
std::string text(const std::vector<LanAddress::Candidate>& candidates, uint16_t port, const std::optional<Bytes>& psk,
                 bool qr);

// Whether the code is drawn: standard output is a terminal, or the
// environment's LUMENRAIL_TERMINAL_QR is "1" (scripts/run, whose output may be
// piped through a pager or a log).
bool wantsQr();

}  // namespace lumenrail::ServeBanner
