#pragma once

// What the menu-bar panel shows: one snapshot the controller takes of its
// own state, the settings and the serving session. Equality compares every
// field in order; devices in another order are another state.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "settings/UpdateRelease.hpp"

namespace lumenrail {

struct PanelDevice {
  int32_t id = 0;  // the client connection's socket descriptor
  std::string name;
  std::optional<std::string> fingerprint;  // every per-device action needs it
  bool overNetwork = false;
  bool isMain = false;

  bool operator==(const PanelDevice&) const = default;
};

struct PanelState {
  enum class Phase : uint8_t { stopped, starting, serving, stopping };

  // The case at index 2 x serving + transitioning.
  static Phase phaseOf(bool serving, bool transitioning) {
    return static_cast<Phase>(2 * static_cast<int>(serving) + static_cast<int>(transitioning));
  }
  bool busy() const { return phase == Phase::starting || phase == Phase::stopping; }

  Phase phase = Phase::stopped;
  std::string modeLabel;  // "1920x1080@60" while serving, else empty
  bool extend = true;
  uint16_t port = 0;
  bool usbEnabled = false;
  std::vector<PanelDevice> devices;  // connected now
  size_t pairedCount = 0;  // in the paired-device store, connected or not
  bool awdlWarning = false;
  bool inputBlocked = false;
  bool penHighRate = false;
  bool penHighRateActive = false;
  // Serving mirrored because the display server cannot add a screen.
  bool extendRefused = false;
  std::optional<UpdateRelease> update;
  // Set: that client must update its app ("" when it gave no name).
  std::optional<std::string> clientAppUpdate;
  // Serving (or starting) with no pairing and no key: anyone on the network is let in.
  bool servingOpen = false;
  // The last start failed, for this reason.
  std::optional<std::string> startFailure;

  bool operator==(const PanelState&) const = default;
};

}  // namespace lumenrail
