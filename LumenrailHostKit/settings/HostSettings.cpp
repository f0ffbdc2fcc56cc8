#include "settings/HostSettings.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "media/PixelBuffer.hpp"

namespace lumenrail {

std::string_view ConnectNotices::rawValue(ConnectNotice notice) {
  switch (notice) {
    case ConnectNotice::wifiOnly: return "wifi";
    case ConnectNotice::always: return "always";
    case ConnectNotice::off: return "off";
  }
  return "wifi";
}

std::optional<ConnectNotice> ConnectNotices::fromRawValue(std::string_view raw) {
  for (ConnectNotice n : allCases) {
    if (rawValue(n) == raw) return n;
  }
  return std::nullopt;
}

bool ConnectNotices::shouldAnnounce(ConnectNotice notice, bool overNetwork) {
  switch (notice) {
    case ConnectNotice::wifiOnly: return overNetwork;
    case ConnectNotice::always: return true;
    case ConnectNotice::off: return false;
  }
  return false;
}

static_assert(HostSettings::maxDimension == PixelBuffer::kMaxDimension,
              "the settings must not name a size the encoder's buffers refuse");

int64_t HostSettings::clampDimension(int64_t pixels) {
  // Rounding down keeps the upper bound even and never leaves the range.
  return std::clamp(pixels, minDimension, maxDimension) & ~int64_t{1};
}

int64_t HostSettings::clampFps(int64_t fps) { return std::clamp(fps, minFps, maxFps); }

std::optional<int64_t> HostSettings::integerArgument(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  uint64_t magnitude = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), magnitude);
  if (err != std::errc() || end != text.data() + text.size()) return std::nullopt;
  constexpr uint64_t kMax = uint64_t(INT64_MAX);
  if (!negative && magnitude > kMax) return std::nullopt;
  if (negative && magnitude > kMax + 1) return std::nullopt;
  return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

const HostSettings& HostSettings::shipDefaults() {
  static const HostSettings settings{};
  return settings;
}

const HostSettings& HostSettings::cliDefaults() {
  static const HostSettings settings = [] {
    HostSettings s;
    s.width = 1280;
    s.height = 720;
    s.usbEnabled = false;
    s.secureWifi = false;
    s.pairingEnabled = false;
    s.checkForUpdates = false;
    return s;
  }();
  return settings;
}

namespace {

// Position of the last exact occurrence of `flag`, if any.
std::optional<size_t> lastIndex(const std::vector<std::string>& args, std::string_view flag) {
  for (size_t i = args.size(); i-- > 0;) {
    if (args[i] == flag) return i;
  }
  return std::nullopt;
}


std::optional<std::string_view> valueAfterLast(const std::vector<std::string>& args, std::string_view flag) {
  const auto i = lastIndex(args, flag);
  if (!i || *i + 1 >= args.size()) return std::nullopt;
  return std::string_view(args[*i + 1]);
}

void applySwitch(const std::vector<std::string>& args, const std::string& name, bool& field) {
  const auto on = lastIndex(args, "--" + name);
  const auto off = lastIndex(args, "--no-" + name);
  if (on && (!off || *on > *off)) field = true;
  if (off && (!on || *off > *on)) field = false;
}

}  // namespace

HostSettings::PortArgument HostSettings::portArgument(const std::vector<std::string>& args) {
  PortArgument result;
  result.given = lastIndex(args, "--port").has_value();
  if (const auto text = valueAfterLast(args, "--port")) {
    if (const auto v = integerArgument(*text); v && *v >= 1 && *v <= 65535) result.port = static_cast<uint16_t>(*v);
  }
  return result;
}

HostSettings HostSettings::applyingArguments(const std::vector<std::string>& args) const {
  HostSettings s = *this;
  auto positive = [&](std::string_view flag, int64_t& field, int64_t (*clamp)(int64_t)) {
    const auto text = valueAfterLast(args, flag);
    if (!text) return;
    if (const auto v = integerArgument(*text); v && *v >= 1) field = clamp(*v);
  };
  positive("--width", s.width, clampDimension);
  positive("--height", s.height, clampDimension);
  positive("--fps", s.fps, clampFps);
  if (const auto port = portArgument(args).port) s.port = *port;
  applySwitch(args, "capture-main", s.captureMain);
  applySwitch(args, "pen-hirate", s.penHighRate);
  applySwitch(args, "usb", s.usbEnabled);
  applySwitch(args, "secure", s.secureWifi);
  applySwitch(args, "pair", s.pairingEnabled);
  applySwitch(args, "key-only-links", s.keyOnlyLinks);
  applySwitch(args, "autostart", s.autoStart);
  applySwitch(args, "update-check", s.checkForUpdates);
  if (const auto text = valueAfterLast(args, "--connect-notice")) {
    if (const auto notice = ConnectNotices::fromRawValue(*text)) s.connectNotice = *notice;
  }
  return s;
}

}  // namespace lumenrail
