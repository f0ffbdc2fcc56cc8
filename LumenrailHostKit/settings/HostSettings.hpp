#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenrail {

// When a client connection is announced to the user. The raw values are what
// the settings file stores.
enum class ConnectNotice : uint8_t { wifiOnly, always, off };

namespace ConnectNotices {
inline constexpr std::array<ConnectNotice, 3> allCases = {ConnectNotice::wifiOnly, ConnectNotice::always,
                                                          ConnectNotice::off};
std::string_view rawValue(ConnectNotice notice);
// Exactly "wifi", "always" or "off" (case-sensitive); nothing otherwise.
std::optional<ConnectNotice> fromRawValue(std::string_view raw);
bool shouldAnnounce(ConnectNotice notice, bool overNetwork);
}  // namespace ConnectNotices

// The host's user settings.
struct HostSettings {
  int64_t width = 1920;
  int64_t height = 1080;
  int64_t fps = 60;
  bool captureMain = false;
  bool penHighRate = false;
  uint16_t port = 27184;
  bool usbEnabled = true;
  bool secureWifi = true;
  bool pairingEnabled = true;
  bool autoStart = true;
  bool launchAtLogin = false;
  bool checkForUpdates = true;
  ConnectNotice connectNotice = ConnectNotice::wifiOnly;

  // A fresh installation, and the fallback of every absent stored value.
  static const HostSettings& shipDefaults();
  // Command-line runs that do not read the user defaults.
  static const HostSettings& cliDefaults();

  // A copy with the command-line overrides applied (program path first in
  // `arguments`); each option counts at its last occurrence only.
  HostSettings applyingArguments(const std::vector<std::string>& arguments) const;

  bool operator==(const HostSettings&) const = default;
};

}  // namespace lumenrail
