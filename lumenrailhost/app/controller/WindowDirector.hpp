#pragma once

// The tray controller's windows and the tray itself: whether the icon is
// docked (without a tray the panel is a window of its own until one appears),
// the settings window with its 1-second sync while it is visible, About, how
// to allow input, the setup assistant and the pairing window, which is made
// again only when the port or the key changed. Main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/controller/ControllerPorts.hpp"
#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

class WindowDirector final : public std::enable_shared_from_this<WindowDirector> {
 public:
  static constexpr uint64_t kSettingsSyncNs = kNsPerSecond;
  // A tray that starts after the host (an autostart before the panel) is
  // looked for this often, for this long after launch.
  static constexpr uint64_t kTrayRecheckNs = 2 * kNsPerSecond;
  static constexpr uint64_t kTrayWaitNs = 120 * kNsPerSecond;

  struct Ports {
    std::shared_ptr<Executor> main;
    std::shared_ptr<StatusItem> statusItem;
    WindowSeams windows;
    Log::Sink log;
  };
  struct Hooks {
    // The serving phase, for an icon that docks late.
    std::function<ServingPhase()> phase;
    // A tick of the settings window's sync.
    std::function<void()> syncSettings;
  };

  WindowDirector(Ports ports, Hooks hooks);
  WindowDirector(const WindowDirector&) = delete;
  WindowDirector& operator=(const WindowDirector&) = delete;

  // At launch: docked when there is a tray, else the window, and the host
  // looks for a tray for a while.
  void launch();
  // The panel under the icon, or the window where there is no tray.
  void activate();
  void trayMayHaveAppeared();
  void trayMayHaveGone();
  bool trayDocked() const { return trayDocked_; }

  // False when this build has no setup window.
  bool showSetup();
  void showAbout();
  // How to allow input; false when there is no such window.
  bool showInputAccess();
  // `clientCount` is asked for whenever the window looks.
  void showQr(uint16_t port, const std::optional<Bytes>& psk, bool serving, std::function<int64_t()> clientCount);
  // Made once over `model`; `refresh` brings the model up to date before the
  // window shows, and the sync keeps it so while the window is visible.
  void showSettings(const std::shared_ptr<HostSettingsModel>& model, const std::function<void()>& refresh);

  // The host is leaving.
  void stopLookingForTray();
  void stopSettingsSync();

 private:
  void say(const std::string& line) const;
  void lookForTray();
  void showMainWindow(bool forced);
  void syncTick(uint64_t generation);

  Ports ports_;
  Hooks hooks_;
  bool trayDocked_ = false;
  Executor::Timer trayRecheck_;
  uint64_t trayLookUntilNs_ = 0;
  std::unique_ptr<HostWindow> mainWindow_;
  // Shown at launch for want of a tray, and not asked for since.
  bool mainWindowForced_ = false;
  std::unique_ptr<HostWindow> settingsWindow_;
  Executor::Timer settingsTimer_;
  uint64_t settingsTimerGeneration_ = 0;
  std::unique_ptr<HostWindow> aboutWindow_;
  std::unique_ptr<HostWindow> inputAccessWindow_;
  std::unique_ptr<QrWindowPort> qrWindow_;
  uint16_t qrPort_ = 0;
  std::optional<Bytes> qrPsk_;
};

}  // namespace lumenrail
