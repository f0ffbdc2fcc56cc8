#pragma once

// The pairing set-up of a serving session (subsystem 4): the host identity
// and the store of paired devices made into the wire server's pairing
// configuration, and the console question by which the owner approves a new
// device. The tray application's alert approver comes with that application.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/Log.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail::PairingSupport {

// Loads or creates the host identity and opens "paired-devices.json" in the
// pairing folder (HostPairingStore::directory()). Nothing, with the line
// "[pair] FAILED to load the host identity (...) — pairing disabled", when
// the identity can be neither loaded nor created; otherwise reports the
// identity's fingerprint and the number of paired devices. Lines go to `log`
// (standard output when empty).
std::optional<WireServer::Pairing> load(WireServer::Pairing::Approve approve,
                                        WireServer::Pairing::CancelApprove cancelApprove = {},
                                        const Log::Sink& log = {});

// A six-character code as "123 456"; any other length as it is.
std::string groupedCode(const std::string& sas);

// Asks on the terminal: "[pair] NEW DEVICE <name (fingerprint)> — code 123 456
// (must match the device's screen). Allow? [y/N] " and reads one line; an
// answer beginning with y or Y allows. The end of input (standard input
// closed) refuses with "[pair] no console input — denied". Questions are
// asked one at a time, input typed on a terminal before the question is
// discarded, and an owner who does not answer within the approval time-out
// (120 s) is taken as refusing.
bool consoleApprove(const std::string& sas, const std::string& fingerprint, const std::string& name);

// The same on any pair of descriptors with any time-out (tests).
bool consoleApproveOn(int inFd, int outFd, const std::string& sas, const std::string& fingerprint,
                      const std::string& name, int64_t timeoutMs);

}  // namespace lumenrail::PairingSupport
