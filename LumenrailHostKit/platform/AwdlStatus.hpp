#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace lumenrail::AwdlStatus {

// The settings pane address shown for peer-to-peer Wi-Fi; kept as clients and
// the interface expect it, though Linux has no such pane.
inline constexpr std::string_view settingsURL =
    "x-apple.systempreferences:com.apple.AirDrop-Handoff-Settings.extension";

// Both IFF_UP and IFF_RUNNING.
bool isActive(uint32_t flags);
// The first interface of that name is up and running; false when there is none.
bool isActive(const std::string& interfaceName);
// The connected peer is on the network: not loopback, not a Unix-domain socket.
bool isNetworkPeer(int fd);
// ::1 or an IPv4-mapped 127.x.y.z address; false for any length but 16.
bool isLoopback6(std::span<const uint8_t> address);

}  // namespace lumenrail::AwdlStatus
