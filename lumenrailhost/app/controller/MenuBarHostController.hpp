#pragma once

// The tray application's controller: owns the settings and their store and
// wires the parts that do the work (serving lifecycle, input-grant monitor,
// window director, update notices, settings-model link, device actions) to
// each other and to the panel and the menu. Main thread; the session's start
// and stop run on the serve queue inside ServingLifecycle. Made with
// std::make_shared: every callback handed out holds it weakly.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/controller/ConnectNoticePoster.hpp"
#include "app/controller/DeviceActions.hpp"
#include "app/controller/InputGrantMonitor.hpp"
#include "app/controller/MenuBarHostPorts.hpp"
#include "app/controller/ServingLifecycle.hpp"
#include "app/controller/SettingsModelLink.hpp"
#include "app/controller/UpdateNotices.hpp"
#include "app/controller/WindowDirector.hpp"
#include "app/panel/HostPanelModel.hpp"
#include "app/panel/PanelSnapshot.hpp"
#include "app/panel/PanelSource.hpp"
#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

class MenuBarHostController final : public std::enable_shared_from_this<MenuBarHostController>,
                                     public PanelSource,
                                     public HostCommands {
 public:
  static constexpr const char* kServeQueueLabel = "quillmark.lumenrail.menubar.serve";
  static constexpr const char* kDisplayAwakeReason = "Lumenrail is streaming this computer's screen to a device";

  using Ports = MenuBarHostPorts;

  MenuBarHostController(HostSettings settings, std::shared_ptr<HostSettingsStore> store, Ports ports);
  MenuBarHostController(const MenuBarHostController&) = delete;
  MenuBarHostController& operator=(const MenuBarHostController&) = delete;

  // The application has started: the tray icon, the update check, then the
  // setup assistant or the automatic start.
  void launch();
  // A second start, a tray that appeared or went: WindowDirector.
  void activate();
  void trayMayHaveAppeared();
  void trayMayHaveGone();
  bool trayDocked() const { return windows_->trayDocked(); }

  void startServing();
  void stopServing(std::function<void()> then = {});
  void restartServing();
  void toggleServing() override;
  void switchMode(bool captureMain) override;
  void togglePenHighRate() override;
  void setPenHighRate(bool on) override;
  // By value: callers pass the controller's own record as `old`.
  void settingsChanged(HostSettings old, HostSettings now);
  void pollInputGrant() { inputGrant_->poll(); }
  void applyUpdateCheckSetting();
  void openUpdate() override;
  void showClientMustUpdate(const std::optional<std::string>& deviceName);
  void dismissClientAppUpdate() override;
  // Stops serving (after a start in flight has finished) before the main loop
  // ends; bounded by kQuitWaitNs.
  void quit() override;

  void showQr() override;
  void showSettings() override;
  void showAbout() override;
  void showSetup() override;
  void openAirDropSettings() override;
  void openAccessibilitySettings() override;
  void setMainDevice(const std::string& fingerprint) override;
  void disconnectDevice(const std::string& fingerprint) override;
  void renameDevice(const std::string& fingerprint) override;
  void forgetDevice(const std::string& fingerprint) override;
  // The setup assistant's last step: the login item and its setting (installed
  // only), then completed or resumed at the permissions step next launch,
  // then serving when the screen may be captured.
  void finishSetup(bool launchAtLogin);
  // Stops serving, unregisters the login item, removes the host's data and
  // leaves the process.
  void removeDataAndQuit();

  // The panel's model, made on first use; refreshed after every change the
  // controller makes.
  HostPanelModel& panelModel();
  // How the panel's closing actions close it first; without one they run on
  // the next main-queue turn.
  void setPanelCloser(PanelSnapshot::ClosingRunner closer) { panelCloser_ = std::move(closer); }

  // The settings window's model, made on first use with the owner's callbacks.
  std::shared_ptr<HostSettingsModel> settingsModel();

  ServingPhase phase() const { return lifecycle_->phase(); }
  const std::optional<Bytes>& psk() const { return lifecycle_->psk(); }

  // PanelSource.
  bool serving() const override { return lifecycle_->serving(); }
  bool transitioning() const override { return lifecycle_->transitioning(); }
  HostSettings settings() const override { return settings_; }
  std::optional<HostSettings> runningSettings() const override { return lifecycle_->runningSettings(); }
  std::optional<UpdateRelease> availableUpdate() const override { return updates_->availableUpdate(); }
  std::optional<std::string> clientAppUpdate() const override { return updates_->clientAppUpdate(); }
  std::optional<std::string> startFailure() const override { return lifecycle_->startFailure(); }
  bool servingOpen() const override { return lifecycle_->servingOpen(); }
  bool inputBlocked() const override { return inputGrant_->isBlocked(); }
  int64_t clientFloor() const override { return updates_->verdict().floor; }
  std::shared_ptr<PairedDevicesStore> pairedDevices() const override { return lifecycle_->pairedDevices(); }
  ServingSessionView* session() const override;
  bool awdlActive() const override;
  // Whether a quit ended with serving stopped (false when it gave up waiting).
  bool stoppedCleanly() const { return stoppedCleanly_; }

 private:
  // Gives a new session its hooks and the update check's verdict.
  void prepareSession(ServingSession& session);
  void changeSetting(const HostSettings& next);
  void syncSettingsModel();
  // The glyph and the panel follow every change of the controller's state.
  void refreshGlyph();
  void refreshPanel();
  void say(const std::string& line) const;
  void finishQuit(bool clean);
  // False when this build has no setup window (said in the log).
  bool setupShown();

  HostSettings settings_;
  const std::shared_ptr<HostSettingsStore> store_;
  Ports ports_;
  // Before the parts: the main window in the window director refers to it.
  std::unique_ptr<HostPanelModel> panelModel_;
  const std::shared_ptr<ServingLifecycle> lifecycle_;
  const std::shared_ptr<InputGrantMonitor> inputGrant_;
  const std::shared_ptr<WindowDirector> windows_;
  const std::shared_ptr<UpdateNotices> updates_;
  const std::shared_ptr<SettingsModelLink> settingsLink_;
  ConnectNoticePoster connectNotice_;
  DeviceActions deviceActions_;
  bool quitDone_ = false;
  bool stoppedCleanly_ = false;
  PanelSnapshot::ClosingRunner panelCloser_;
  // The panel's rows stay in the order their devices joined.
  ClientOrder rowOrder_;
};

}  // namespace lumenrail
