#pragma once

// The tray application's controller: owns the settings and their store, the
// serving session from start to stop (started and stopped on its own serial
// queue), the pre-shared key of the latest start and the pairing
// configuration, the display-sleep assertion, the input-grant watch with its
// alert, the update checker and the client-must-update notice. Everything
// runs on the main queue except the session's start and stop. Made with
// std::make_shared: every hook, timer and completion holds it weakly and does
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
#include "app/controller/ServingSession.hpp"
#include "app/panel/HostPanelModel.hpp"
#include "app/panel/PanelSnapshot.hpp"
#include "app/panel/PanelSource.hpp"
#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/RenamePrompt.hpp"
#include "app/windows/WindowPorts.hpp"
#include "input/InputGrantWatch.hpp"
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
  static constexpr int64_t kPskBytes = 24;
  static constexpr uint64_t kInputGrantPollNs = 2 * kNsPerSecond;
  static constexpr uint64_t kInputBlockedQuietNs = 600 * kNsPerSecond;
  // How long quitting waits for a start and the stop behind it.
  static constexpr uint64_t kQuitWaitNs = 20 * kNsPerSecond;
  static constexpr uint64_t kSettingsSyncNs = kNsPerSecond;
  // A tray that starts after the host (an autostart before the panel) is
  // looked for this often, for this long after launch.
  static constexpr uint64_t kTrayRecheckNs = 2 * kNsPerSecond;
  static constexpr uint64_t kTrayWaitNs = 120 * kNsPerSecond;

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
    std::function<void()> removeHostData;
    // Leaves the process at once with status 0, after the host's data is gone:
    // nothing may write it again on the way out.
    std::function<void()> exitProcess;
    bool installed = false;
    std::vector<std::string> arguments;
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
  bool trayDocked() const { return trayDocked_; }

  void startServing();
  void stopServing(std::function<void()> then = {});
  void restartServing();
  void toggleServing() override;
  void switchMode(bool captureMain) override;
  void togglePenHighRate() override;
  void setPenHighRate(bool on) override;
  // By value: callers pass the controller's own record as `old`.
  void settingsChanged(HostSettings old, HostSettings now);
  void pollInputGrant();
  void showInputBlocked();
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

  ServingPhase phase() const;
  const std::optional<Bytes>& psk() const { return psk_; }
  bool inputBlockedAlertUp() const { return inputBlockedAlert_ != nullptr; }

  // PanelSource.
  bool serving() const override { return serving_; }
  bool transitioning() const override { return transitioning_; }
  HostSettings settings() const override { return settings_; }
  std::optional<HostSettings> runningSettings() const override { return runningSettings_; }
  std::optional<UpdateRelease> availableUpdate() const override { return availableUpdate_; }
  std::optional<std::string> clientAppUpdate() const override { return clientAppUpdate_; }
  std::optional<std::string> startFailure() const override { return startFailure_; }
  bool servingOpen() const override { return servingOpen_; }
  bool inputBlocked() const override { return inputGrant_.isBlocked(); }
  int64_t clientFloor() const override { return versionVerdict_.floor; }
  std::shared_ptr<PairedDevicesStore> pairedDevices() const override;
  ServingSessionView* session() const override;
  bool awdlActive() const override;
  struct VersionVerdict {
    int64_t floor = 0;
    HostUpdate update = HostUpdate::none;
    std::string version;
  };
  const VersionVerdict& versionVerdict() const { return versionVerdict_; }
  bool quitting() const { return quitting_; }
  // Whether a quit ended with serving stopped (false when it gave up waiting).
  bool stoppedCleanly() const { return stoppedCleanly_; }

 private:
  std::optional<WireServer::Pairing> pairingIfEnabled();
  void changeSetting(const HostSettings& next);
  void syncSettingsModel();
  // The glyph and the panel follow every change of the controller's state.
  void refreshGlyph();
  DeviceActions& deviceActions();
  void say(const std::string& line) const;
  // Standard error: the failed start is what the owner must see in a terminal too.
  void sayError(const std::string& line) const;
  void finishQuit(bool clean);
  // A failed start: its reason in the panel and in one notification.
  void showStartFailure(const std::string& reason);
  void showMainWindow(bool forced);
  // Posts `work` to the main queue holding this controller weakly.
  void onMain(std::function<void(MenuBarHostController&)> work);

  HostSettings settings_;
  const std::shared_ptr<HostSettingsStore> store_;
  Ports ports_;
  std::optional<HostSettings> runningSettings_;
  std::optional<Bytes> psk_;
  std::optional<WireServer::Pairing> pairingSupport_;
  std::shared_ptr<ServingSession> pipeline_;
  std::shared_ptr<ServingSession> starting_;  // the session of a start in flight
  bool serving_ = false;
  bool transitioning_ = false;
  InputGrantWatch inputGrant_;
  Executor::Timer inputGrantTimer_;
  std::shared_ptr<ModalAlert> inputBlockedAlert_;  // while it is up
  uint64_t inputBlockedQuietUntilNs_ = 0;
  bool everQuieted_ = false;
  std::unique_ptr<UpdateCheckerHandle> updateChecker_;
  std::optional<UpdateRelease> availableUpdate_;
  VersionVerdict versionVerdict_;
  std::optional<std::string> clientAppUpdate_;
  std::optional<std::string> startFailure_;
  bool servingOpen_ = false;  // the running or starting session takes anyone
  ConnectNoticePoster connectNotice_;
  std::shared_ptr<HostSettingsModel> settingsModel_;
  // Set while the controller hands its own change to the settings model, whose
  // report of it is then not applied a second time.
  bool pushingToModel_ = false;
  bool quitting_ = false;
  bool quitDone_ = false;
  bool stoppedCleanly_ = false;
  Executor::Timer quitBound_;
  std::unique_ptr<HostPanelModel> panelModel_;
  PanelSnapshot::ClosingRunner panelCloser_;
  std::unique_ptr<DeviceActions> deviceActions_;
  std::unique_ptr<HostWindow> settingsWindow_;
  Executor::Timer settingsTimer_;
  uint64_t settingsTimerGeneration_ = 0;
  std::unique_ptr<HostWindow> aboutWindow_;
  std::unique_ptr<HostWindow> inputAccessWindow_;
  bool trayDocked_ = false;
  void lookForTray();
  Executor::Timer trayRecheck_;
  uint64_t trayLookUntilNs_ = 0;
  std::unique_ptr<HostWindow> mainWindow_;
  // Shown at launch for want of a tray, and not asked for since.
  bool mainWindowForced_ = false;
  std::unique_ptr<QrWindowPort> qrWindow_;
  uint16_t qrPort_ = 0;
  std::optional<Bytes> qrPsk_;
};

}  // namespace lumenrail
