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
  // With pairing on, whether a key-only (QR) link may connect as well.
  bool keyOnlyLinks = false;
  bool autoStart = true;
  bool launchAtLogin = false;
  bool checkForUpdates = true;
  ConnectNotice connectNotice = ConnectNotice::wifiOnly;

  // The modes a serving session can carry with either codec: the video
  // encoder takes even sizes up to 16384 pixels a side and 1 to 1000 frames per
  // second, and HEVC needs at least one 64-pixel coding block; all of these
  // fit Hello's 32-bit fields. Sizes and rates read from the command line or
  // the settings file are clamped into these bounds (odd sizes rounded down),
  // so a record from either never names a mode a serve would refuse.
  static constexpr int64_t minDimension = 64;
  static constexpr int64_t maxDimension = 16384;
  static constexpr int64_t minFps = 1;
  static constexpr int64_t maxFps = 1000;
  // A command-line integer: an optional sign, then decimal digits and nothing
  // else, within 64 bits.
  static std::optional<int64_t> integerArgument(std::string_view text);

  // The one rule behind those bounds, for any width or height.
  static int64_t clampDimension(int64_t pixels);
  static int64_t clampFps(int64_t fps);

  // A fresh installation, and the fallback of every absent stored value.
  static const HostSettings& shipDefaults();
  // Command-line runs that do not read the user defaults.
  static const HostSettings& cliDefaults();

  // A copy with the command-line overrides applied (program path first in
  // `arguments`); each option counts at its last occurrence only, and an
  // unusable value leaves the field as it was. "--width", "--height" and
  // "--fps" take a value of at least 1, clamped as above.
  HostSettings applyingArguments(const std::vector<std::string>& arguments) const;

  // The last "--port" of a command line as applyingArguments reads it. A given
  // port without a usable value (no following argument, not a decimal integer,
  // outside 1...65535) leaves `port` unchanged there, which would silently
  // serve on another port: the modes that serve check `invalid()` and refuse.
  struct PortArgument {
    bool given = false;            // some argument equals "--port"
    std::optional<uint16_t> port;  // the value after the last one, when usable
    bool invalid() const { return given && !port; }
  };
  static PortArgument portArgument(const std::vector<std::string>& arguments);

  // Whether serving makes a pre-shared key, which the pairing link then
  // carries. With pairing on, only when the owner allows key-only links:
  // such a link connects without the owner's approval, and every connection
  // with one key derives the same record keys from counter 0, so a recorded
  // session replays into a new one.
  bool servesKeyOnlyLinks() const { return secureWifi && (!pairingEnabled || keyOnlyLinks); }

  bool operator==(const HostSettings&) const = default;
};

}  // namespace lumenrail
