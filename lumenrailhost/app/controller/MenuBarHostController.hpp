#pragma once

// The tray application's controller: owns the settings and their store and
// wires the parts that do the work — the serving lifecycle, the input-grant
// monitor, the window director and the update notices — to each other, to
// the panel, the menu and the settings window. Main thread (the session's
// start and stop run on the serve queue, inside ServingLifecycle). Made with
// std::make_shared: every callback handed out holds it weakly and does
// nothing once it is gone.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppPorts.hpp"
#include "app/controller/ConnectNoticePoster.hpp"
#include "app/controller/ControllerPorts.hpp"
#include "app/controller/DeviceActions.hpp"
#include "app/controller/HostPermissions.hpp"
#include "app/controller/InputGrantMonitor.hpp"
#include "app/controller/ServingLifecycle.hpp"
#include "app/controller/ServingSession.hpp"
#include "app/controller/UpdateNotices.hpp"
#include "app/controller/WindowDirector.hpp"
#include "app/panel/HostPanelModel.hpp"
#include "app/panel/PanelSnapshot.hpp"
#include "app/panel/PanelSource.hpp"
#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/RenamePrompt.hpp"
#include "app/windows/WindowPorts.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "platform/UserDefaults.hpp"
#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

class MenuBarHostController final : public std::enable_shared_from_this<MenuBarHostController>,
                                     public PanelSource,
                                     public HostCommands {
 public:
  static constexpr const char* kServeQueueLabel = "quillmark.lumenrail.menubar.serve";
  static constexpr const char* kDisplayAwakeReason = "Lumenrail is streaming this computer's screen to a device";
  static constexpr uint64_t kQuitWaitNs = ServingLifecycle::kQuitWaitNs;
  static constexpr uint64_t kSettingsSyncNs = WindowDirector::kSettingsSyncNs;
  static constexpr uint64_t kTrayRecheckNs = WindowDirector::kTrayRecheckNs;
  static constexpr uint64_t kTrayWaitNs = WindowDirector::kTrayWaitNs;

  struct Ports {
    // The GUI thread's executor; its clock times the controller.
    std::shared_ptr<Executor> main;
    std::shared_ptr<Executor> serveQueue;
    std::shared_ptr<StatusItem> statusItem;
    std::shared_ptr<AlertRunner> alerts;
    std::shared_ptr<UrlOpener> opener;
    std::shared_ptr<UserDefaults> defaults;
    std::shared_ptr<HostPermissions::Probe> probe;
    std::shared_ptr<Notifier> notifier;
    std::shared_ptr<SleepAssertion> displayAwake;
    SessionFactory makeSession;
    // The pairing configuration with the owner's alert; nothing when it
    // cannot be loaded.
    std::function<std::optional<WireServer::Pairing>()> loadPairing;
    UpdateCheckerFactory makeUpdateChecker;
    std::function<Bytes(int64_t)> randomKey;
    // Ends the main loop.
    std::function<void()> terminate;
    WindowSeams windows;
    std::shared_ptr<RenamePrompt> renamePrompt;
    std::shared_ptr<LoginItemPort> loginItem;
    // Removes the host's folders and defaults; what could not go is ignored.
    // The tray's start-up finds them; nothing is removed without it.
    std::function<void()> removeHostData;
    // Leaves the process at once with status 0, after the host's data is gone:
    // nothing may write it again on the way out.
    std::function<void()> exitProcess;
    bool installed = false;
    // The command line asked for the setup assistant ("--setup").
    bool setupRequested = false;
    Log::Sink log = Log::line;
    Log::Sink errorLog;  // standard error when unset
  };

  MenuBarHostController(HostSettings settings, std::shared_ptr<HostSettingsStore> store, Ports ports);
  MenuBarHostController(const MenuBarHostController&) = delete;
  MenuBarHostController& operator=(const MenuBarHostController&) = delete;

  // The application has started: the tray icon, the update check, then the
  // setup assistant or the automatic start.
  void launch();
  // A second start of the application: the panel under the icon, or the
  // window where there is no tray.
  void activate();
  // The desktop announced a tray, or it is time to look again: once there is
  // one, the icon docks and the window is no longer forced open.
  void trayMayHaveAppeared();
  // The desktop's tray may have gone (its owner left): without one, the
  // window is shown as at a launch without a tray, and the host looks again.
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
  void showInputBlocked() { inputGrant_->showBlocked(); }
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
  // The paired devices, most recently seen first; none without pairing.
  std::vector<PairedDevice> pairedList() const;

  // The settings window's model, made on first use with the owner's callbacks.
  std::shared_ptr<HostSettingsModel> settingsModel();

  ServingPhase phase() const { return lifecycle_->phase(); }
  const std::optional<Bytes>& psk() const { return lifecycle_->psk(); }
  bool inputBlockedAlertUp() const { return inputGrant_->alertUp(); }

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
  using VersionVerdict = UpdateNotices::VersionVerdict;
  const VersionVerdict& versionVerdict() const { return updates_->verdict(); }
  bool quitting() const { return lifecycle_->quitting(); }
  // Whether a quit ended with serving stopped (false when it gave up waiting).
  bool stoppedCleanly() const { return stoppedCleanly_; }

 private:
  // The parts, each holding this controller by a raw pointer: they live and
  // die with it, and hand nothing of it to anyone else.
  std::shared_ptr<ServingLifecycle> makeServing();
  std::shared_ptr<InputGrantMonitor> makeInputGrant();
  std::shared_ptr<WindowDirector> makeWindows();
  std::shared_ptr<UpdateNotices> makeUpdates();
  // Gives a new session its hooks and the update check's verdict.
  void prepareSession(ServingSession& session);
  void changeSetting(const HostSettings& next);
  void syncSettingsModel();
  // The glyph and the panel follow every change of the controller's state.
  void refreshGlyph();
  void refreshPanel();
  DeviceActions& deviceActions();
  void say(const std::string& line) const;
  void finishQuit(bool clean);
  // Posts `work` to the main queue holding this controller weakly.
  void onMain(std::function<void(MenuBarHostController&)> work);

  HostSettings settings_;
  const std::shared_ptr<HostSettingsStore> store_;
  Ports ports_;
  const std::shared_ptr<ServingLifecycle> lifecycle_;
  const std::shared_ptr<InputGrantMonitor> inputGrant_;
  const std::shared_ptr<WindowDirector> windows_;
  const std::shared_ptr<UpdateNotices> updates_;
  ConnectNoticePoster connectNotice_;
  std::shared_ptr<HostSettingsModel> settingsModel_;
  // Set while the controller hands its own change to the settings model, whose
  // report of it is then not applied a second time.
  bool pushingToModel_ = false;
  bool quitDone_ = false;
  bool stoppedCleanly_ = false;
  std::unique_ptr<HostPanelModel> panelModel_;
  PanelSnapshot::ClosingRunner panelCloser_;
  std::unique_ptr<DeviceActions> deviceActions_;
};

}  // namespace lumenrail
