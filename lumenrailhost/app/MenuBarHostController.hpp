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

#include "AppPorts.hpp"
#include "ConnectNoticePoster.hpp"
#include "ControllerPorts.hpp"
#include "ServingSession.hpp"
#include "HostPermissions.hpp"
#include "HostSettingsModel.hpp"
#include "input/InputGrantWatch.hpp"
#include "input/TaskExecutor.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/UserDefaults.hpp"
#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

class MenuBarHostController final : public std::enable_shared_from_this<MenuBarHostController> {
 public:
  static constexpr const char* kServeQueueLabel = "quillmark.lumenrail.menubar.serve";
  static constexpr const char* kDisplayAwakeReason = "Lumenrail is streaming this computer's screen to a device";
  static constexpr int64_t kPskBytes = 24;
  static constexpr uint64_t kInputGrantPollNs = 2 * kNsPerSecond;
  static constexpr uint64_t kInputBlockedQuietNs = 600 * kNsPerSecond;
  // How long quitting waits for a start and the stop behind it.
  static constexpr uint64_t kQuitWaitNs = 20 * kNsPerSecond;

  struct Ports {
    std::shared_ptr<MainQueue> main;
    std::shared_ptr<TaskExecutor> serveQueue;
    NowNs now = uptimeNs;
    TimerFactory timers;
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

  void startServing();
  void stopServing(std::function<void()> then = {});
  void restartServing();
  void toggleServing();
  void switchMode(bool captureMain);
  void togglePenHighRate();
  void setPenHighRate(bool on);
  // By value: callers pass the controller's own record as `old`.
  void settingsChanged(HostSettings old, HostSettings now);
  void pollInputGrant();
  void showInputBlocked();
  void applyUpdateCheckSetting();
  void openUpdate();
  void showClientMustUpdate(const std::optional<std::string>& deviceName);
  void dismissClientAppUpdate();
  // Stops serving (after a start in flight has finished) before the main loop
  // ends; bounded by kQuitWaitNs.
  void quit();

  // The settings window's model, made on first use with the owner's callbacks.
  std::shared_ptr<HostSettingsModel> settingsModel();

  ServingPhase phase() const;
  const HostSettings& settings() const { return settings_; }
  const std::optional<HostSettings>& runningSettings() const { return runningSettings_; }
  const std::optional<Bytes>& psk() const { return psk_; }
  bool inputBlocked() const { return inputGrant_.isBlocked(); }
  bool inputBlockedAlertUp() const { return inputBlockedAlert_ != nullptr; }
  const std::optional<UpdateRelease>& availableUpdate() const { return availableUpdate_; }
  const std::optional<std::string>& clientAppUpdate() const { return clientAppUpdate_; }
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
  void refreshGlyph();
  void say(const std::string& line) const;
  // Standard error: the failed start is what the owner must see in a terminal too.
  void sayError(const std::string& line) const;
  void finishQuit(bool clean);
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
  std::unique_ptr<RepeatingTimer> inputGrantTimer_;
  std::shared_ptr<ModalAlert> inputBlockedAlert_;  // while it is up
  uint64_t inputBlockedQuietUntilNs_ = 0;
  bool everQuieted_ = false;
  std::unique_ptr<UpdateCheckerHandle> updateChecker_;
  std::optional<UpdateRelease> availableUpdate_;
  VersionVerdict versionVerdict_;
  std::optional<std::string> clientAppUpdate_;
  ConnectNoticePoster connectNotice_;
  std::shared_ptr<HostSettingsModel> settingsModel_;
  // Set while the controller hands its own change to the settings model, whose
  // report of it is then not applied a second time.
  bool pushingToModel_ = false;
  bool quitting_ = false;
  bool quitDone_ = false;
  bool stoppedCleanly_ = false;
  std::unique_ptr<RepeatingTimer> quitBound_;
};

}  // namespace lumenrail
