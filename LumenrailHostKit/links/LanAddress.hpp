#pragma once

// The IPv4 addresses through which a client on the LAN can most likely reach
// this computer, best first, for the pairing link and its QR code.

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenrail::LanAddress {

struct Candidate {
  std::string ip;             // dotted decimal
  std::string interfaceName;  // eth0, wlan0, ...
  std::string displayName;    // "Wi-Fi", "Ethernet", or the interface name
  bool isPrimary = false;     // the interface of the lowest-metric default route
  bool operator==(const Candidate&) const = default;
};

// Interfaces whose names begin with one of these are virtual or peer-to-peer:
// the macOS set first, then Linux's own (containers, VM bridges, tunnels, WireGuard).
inline constexpr std::array<std::string_view, 19> virtualPrefixes = {
    "awdl", "llw",  "utun", "ipsec", "ppp", "bridge", "vmenet", "vnic", "gif", "stf",
    "anpi", "ap",   "docker", "veth", "br-", "virbr", "tun",    "tap",  "wg"};

bool isVirtual(std::string_view interfaceName);

// One IPv4 entry of the interface address list.
struct InterfaceAddress {
  std::string interfaceName;
  uint32_t flags = 0;  // IFF_*
  std::array<uint8_t, 4> ipv4{};
  bool operator==(const InterfaceAddress&) const = default;
};

// The ranking itself: usable entries (up, running, not loopback or
// point-to-point, not 127/8 or 169.254/16), ordered primary before not,
// physical before virtual, private before public, then in list order.
std::vector<Candidate> rank(const std::vector<InterfaceAddress>& entries, const std::optional<std::string>& primary,
                            const std::map<std::string, std::string>& displayNames);

// The running system's candidates; empty when the interface list cannot be read.
std::vector<Candidate> candidates();
std::optional<std::string> pickIPv4();

}  // namespace lumenrail::LanAddress
