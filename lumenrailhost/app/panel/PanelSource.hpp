#pragma once

// What the panel, the classic menu, the support report and the device
// actions read of the host. The tray's controller implements these over its
// own state, its settings and the running serving session; the tests fake
// them. Main thread only: every member is read there, once per snapshot or
// menu build, and must not block.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "secure/PairedDevicesStore.hpp"
#include "settings/HostSettings.hpp"
#include "settings/UpdateRelease.hpp"
#include "wire/PeerVersion.hpp"

namespace lumenrail {

// One client of the session's server (WireServer::ConnectedClient).
struct SessionClient {
  int32_t fd = -1;  // the connection's socket descriptor
  std::string name;  // "" when the client sent none
  std::optional<std::string> fingerprint;  // paired clients only
  bool overNetwork = false;  // false for USB links
  bool operator==(const SessionClient&) const = default;
};

// The running serving session, as the panel and the menu see it.
class ServingSessionView {
 public:
  virtual ~ServingSessionView() = default;
  // M2Pipeline::label of the session's current stream mode ("1920x1080@60").
  virtual std::string modeLabel() const = 0;
  // The session's live choice: true mirrors the main display.
  virtual bool captureMain() const = 0;
  // The session applies the high pen rate right now.
  virtual bool penHighRateApplied() const = 0;
  // Extend was asked for; the display server cannot add a screen, so it mirrors.
  virtual bool extendRefused() const { return false; }
  // The main device's fingerprint (read under the session's main lock).
  virtual std::optional<std::string> mainFingerprint() const = 0;
  // WireServer::connectedClients of the session's server, in any order.
  virtual std::vector<SessionClient> connectedClients() const = 0;
  // WireServer::peerVersion: the client's version report, nothing when it sent none.
  virtual std::optional<PeerVersion> peerVersion(int32_t fd) const = 0;
  // M2Pipeline::setMainDevice.
  virtual void setMainDevice(const std::string& fingerprint) = 0;
  // WireServer::disconnect: every session of that device ends with a Bye.
  virtual void disconnect(const std::string& fingerprint) = 0;
};

class PanelSource {
 public:
  virtual ~PanelSource() = default;
  // The controller's serving flag: a start succeeded and no stop finished.
  virtual bool serving() const = 0;
  // A start or a stop is in flight.
  virtual bool transitioning() const = 0;
  // The current settings, as last saved.
  virtual HostSettings settings() const = 0;
  // The settings the running session was started with; nothing when not serving.
  virtual std::optional<HostSettings> runningSettings() const = 0;
  // The newer release the update check reported.
  virtual std::optional<UpdateRelease> availableUpdate() const = 0;
  // Pending "update the app" notice: the device's name, "" when it sent none.
  virtual std::optional<std::string> clientAppUpdate() const = 0;
  // Why the last start failed; nothing once a start is asked for again.
  virtual std::optional<std::string> startFailure() const { return std::nullopt; }
  // The running or starting session takes anyone: no pairing and no key.
  virtual bool servingOpen() const { return false; }
  // The input-permission watch is in its blocked state.
  virtual bool inputBlocked() const = 0;
  // The update check's client level floor (0 when none).
  virtual int64_t clientFloor() const = 0;
  // The loaded pairing configuration's store; null before the first start
  // with pairing on.
  virtual std::shared_ptr<PairedDevicesStore> pairedDevices() const = 0;
  // The running session; null when there is none (stopped, starting).
  virtual ServingSessionView* session() const = 0;
  // AwdlStatus::isActive("awdl0"): the peer-to-peer Wi-Fi interface is up.
  virtual bool awdlActive() const = 0;
};

// What the panel's and the menu's commands ask of the controller. Device
// commands carry the device's fingerprint; the controller passes them to
// its DeviceActions.
class HostCommands {
 public:
  virtual ~HostCommands() = default;
  virtual void toggleServing() = 0;
  // true mirrors the main display, false extends the desktop.
  virtual void switchMode(bool captureMain) = 0;
  virtual void setPenHighRate(bool on) = 0;
  virtual void togglePenHighRate() = 0;
  virtual void showQr() = 0;
  virtual void showSettings() = 0;
  virtual void showAbout() = 0;
  virtual void showSetup() = 0;
  virtual void quit() = 0;
  virtual void openAirDropSettings() = 0;
  virtual void openAccessibilitySettings() = 0;
  virtual void openUpdate() = 0;
  virtual void dismissClientAppUpdate() = 0;
  virtual void setMainDevice(const std::string& fingerprint) = 0;
  virtual void disconnectDevice(const std::string& fingerprint) = 0;
  virtual void renameDevice(const std::string& fingerprint) = 0;
  virtual void forgetDevice(const std::string& fingerprint) = 0;
};

}  // namespace lumenrail
