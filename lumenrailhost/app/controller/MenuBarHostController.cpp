#include "app/controller/MenuBarHostController.hpp"

#include "app/controller/SupportActions.hpp"
#include "app/windows/SetupModel.hpp"
#include "platform/AwdlStatus.hpp"

namespace lumenrail {

namespace {

// Rename needs a dialog; without one the request ends as cancelled.
class NoRenamePrompt final : public RenamePrompt {
 public:
  std::optional<std::string> ask(const Request&) override { return std::nullopt; }
};

RenamePrompt& promptOrNone(const std::shared_ptr<RenamePrompt>& prompt) {
  static NoRenamePrompt none;
  return prompt ? *prompt : static_cast<RenamePrompt&>(none);
}

}  // namespace

// The parts' hooks hold the controller by `this`: each part is owned by it
// alone, and the part's own timers and completions hold the part weakly.
MenuBarHostController::MenuBarHostController(HostSettings settings, std::shared_ptr<HostSettingsStore> store,
                                             Ports ports)
    : settings_(std::move(settings)),
      store_(std::move(store)),
      ports_(std::move(ports)),
      lifecycle_(std::make_shared<ServingLifecycle>(
          ServingLifecycle::Ports{ports_.main, ports_.serveQueue, ports_.makeSession, ports_.loadPairing,
                                  ports_.randomKey, ports_.displayAwake, ports_.notifier, ports_.log,
                                  ports_.errorLog},
          ServingLifecycle::Hooks{.refreshGlyph = [this] { refreshGlyph(); },
                                  .refreshPanel = [this] { refreshPanel(); },
                                  .settled = [this] { syncSettingsModel(); },
                                  .started = [this] { inputGrant_->start(); },
                                  .stopped = [this] { inputGrant_->stop(); },
                                  .prepare = [this](ServingSession& session) { prepareSession(session); }})),
      inputGrant_(std::make_shared<InputGrantMonitor>(
          InputGrantMonitor::Ports{ports_.main, ports_.alerts, ports_.probe, ports_.log},
          InputGrantMonitor::Hooks{
              .clientConnected = [this] { return lifecycle_->serving() && lifecycle_->clientCount() >= 1; },
              .changed = [this] { refreshPanel(); },
              .openAccessibility = [this] { openAccessibilitySettings(); }})),
      windows_(std::make_shared<WindowDirector>(
          WindowDirector::Ports{ports_.main, ports_.statusItem, ports_.windows, ports_.log},
          WindowDirector::Hooks{.phase = [this] { return phase(); }, .syncSettings = [this] { syncSettingsModel(); }})),
      updates_(std::make_shared<UpdateNotices>(
          UpdateNotices::Ports{ports_.makeUpdateChecker, ports_.opener, ports_.log},
          UpdateNotices::Hooks{.changed = [this] { refreshPanel(); },
                               .verdictChanged = [this](const UpdateNotices::VersionVerdict& verdict) {
                                 lifecycle_->setVersionVerdict(verdict.floor, verdict.update, verdict.version);
                               }})),
      settingsLink_(std::make_shared<SettingsModelLink>(
          store_, *lifecycle_,
          SettingsModelLink::Hooks{
              .edited = [this](const HostSettings& before, const HostSettings& now) { settingsChanged(before, now); },
              .applyRestart = [this] { restartServing(); },
              .setCaptureMain = [this](bool value) { switchMode(value); },
              .removeData = [this] { removeDataAndQuit(); },
              .devicesChanged = [this] { refreshGlyph(); }})),
      connectNotice_(ports_.notifier, ports_.installed, [main = ports_.main] { return main->nowNs(); }, ports_.log),
      deviceActions_(*this, promptOrNone(ports_.renamePrompt),
                     DeviceActions::Hooks{.pairedChanged = [this] { settingsLink_->refreshPaired(); },
                                          .refreshPanel = [this] { refreshGlyph(); }},
                     ports_.log) {}

void MenuBarHostController::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void MenuBarHostController::launch() {
  SupportActions::setLaunchedAt(static_cast<double>(ports_.main->nowNs()) / static_cast<double>(kNsPerSecond));
  SupportActions::setLiveSections([weak = weak_from_this()]() -> std::vector<SupportReport::Section> {
    if (auto self = weak.lock()) return PanelSnapshot::supportSections(*self);
    return {};
  });
  windows_->launch();
  refreshGlyph();
  applyUpdateCheckSetting();

  const bool setupDue = ports_.defaults && ports_.probe &&
                        SetupAssistant::shouldShowOnLaunch(*ports_.defaults, *ports_.probe, ports_.installed);
  if ((setupDue || ports_.setupRequested) && setupShown()) return;
  if (settings_.autoStart) startServing();
}

void MenuBarHostController::activate() { windows_->activate(); }
void MenuBarHostController::trayMayHaveAppeared() { windows_->trayMayHaveAppeared(); }
void MenuBarHostController::trayMayHaveGone() { windows_->trayMayHaveGone(); }

void MenuBarHostController::startServing() { lifecycle_->start(settings_); }

void MenuBarHostController::prepareSession(ServingSession& session) {
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  ServingSession::Hooks hooks;
  hooks.onClientMustUpdate = [weak](const std::optional<std::string>& name) {
    if (auto self = weak.lock()) self->showClientMustUpdate(name);
  };
  hooks.onClientNamed = [weak](const std::string& name, bool overNetwork) {
    if (auto self = weak.lock()) self->connectNotice_.sessionNamed(name, overNetwork, self->settings_.connectNotice);
  };
  session.setHooks(std::move(hooks));
  const auto& verdict = updates_->verdict();
  session.setVersionVerdict(verdict.floor, verdict.update, verdict.version);
}

void MenuBarHostController::stopServing(std::function<void()> then) { lifecycle_->stop(std::move(then)); }

void MenuBarHostController::toggleServing() { lifecycle_->serving() ? stopServing() : startServing(); }

void MenuBarHostController::restartServing() {
  if (!lifecycle_->serving()) {
    startServing();
  } else if (!lifecycle_->transitioning()) {
    stopServing([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->startServing();
    });
  }
}

void MenuBarHostController::changeSetting(const HostSettings& next) {
  if (next == settings_) return;
  const HostSettings old = settings_;
  store_->save(next);
  settingsChanged(old, next);
  settingsLink_->push(next);
}

void MenuBarHostController::switchMode(bool captureMain) {
  const bool unchanged = captureMain == settings_.captureMain;
  HostSettings next = settings_;
  next.captureMain = captureMain;
  changeSetting(next);
  // The mode the settings hold, re-applied to a session running in the other one.
  auto* session = lifecycle_->steadySession();
  if (unchanged && session && session->captureMain() != captureMain) session->setCaptureMain(captureMain);
}

void MenuBarHostController::togglePenHighRate() { setPenHighRate(!settings_.penHighRate); }

void MenuBarHostController::setPenHighRate(bool on) {
  HostSettings next = settings_;
  next.penHighRate = on;
  changeSetting(next);
}

void MenuBarHostController::settingsChanged(HostSettings old, HostSettings now) {
  settings_ = now;
  if (old.checkForUpdates != now.checkForUpdates) applyUpdateCheckSetting();
  refreshPanel();
  if (auto* session = lifecycle_->steadySession()) {
    if (old.captureMain != now.captureMain) session->setCaptureMain(now.captureMain);
    if (old.penHighRate != now.penHighRate) session->setPenHighRate(now.penHighRate);
  }
  syncSettingsModel();
}

std::shared_ptr<HostSettingsModel> MenuBarHostController::settingsModel() { return settingsLink_->model(settings_); }

void MenuBarHostController::syncSettingsModel() { settingsLink_->sync(); }

void MenuBarHostController::refreshGlyph() {
  if (ports_.statusItem) ports_.statusItem->show(phase());
  refreshPanel();
}

void MenuBarHostController::refreshPanel() {
  if (panelModel_) panelModel_->refresh();
}

void MenuBarHostController::applyUpdateCheckSetting() { updates_->apply(settings_.checkForUpdates); }
void MenuBarHostController::openUpdate() { updates_->openUpdate(); }

void MenuBarHostController::showClientMustUpdate(const std::optional<std::string>& name) {
  updates_->clientMustUpdate(name);
}

void MenuBarHostController::dismissClientAppUpdate() { updates_->dismissClientAppUpdate(); }

void MenuBarHostController::quit() {
  if (lifecycle_->quitting()) return;
  inputGrant_->cancel();
  windows_->stopLookingForTray();
  updates_->stop();
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  lifecycle_->quit([weak](bool clean) {
    if (auto self = weak.lock()) self->finishQuit(clean);
  });
}

void MenuBarHostController::finishQuit(bool clean) {
  if (quitDone_) return;
  quitDone_ = true;
  stoppedCleanly_ = clean;
  if (ports_.terminate) ports_.terminate();
}

ServingSessionView* MenuBarHostController::session() const {
  auto* running = lifecycle_->serving() ? lifecycle_->session() : nullptr;
  return running ? running->view() : nullptr;
}

bool MenuBarHostController::awdlActive() const { return AwdlStatus::isActive(std::string("awdl0")); }

HostPanelModel& MenuBarHostController::panelModel() {
  if (panelModel_) return *panelModel_;
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  // The operation holds the controller weakly itself.
  auto closing = [weak](std::function<void()> operation) {
    auto self = weak.lock();
    if (!self) return;
    if (self->panelCloser_) return self->panelCloser_(std::move(operation));
    self->ports_.main->post(std::move(operation));
  };
  auto snapshot = [weak] {
    auto self = weak.lock();
    return self ? PanelSnapshot::snapshot(*self, &self->rowOrder_) : PanelSnapshot::fallback();
  };
  panelModel_ = std::make_unique<HostPanelModel>(
      PanelSnapshot::actions(std::weak_ptr<HostCommands>(shared_from_this()), std::move(closing)),
      std::move(snapshot));
  return *panelModel_;
}

void MenuBarHostController::setMainDevice(const std::string& fingerprint) { deviceActions_.setMainDevice(fingerprint); }
void MenuBarHostController::disconnectDevice(const std::string& fingerprint) { deviceActions_.disconnect(fingerprint); }
void MenuBarHostController::renameDevice(const std::string& fingerprint) { deviceActions_.rename(fingerprint); }
void MenuBarHostController::forgetDevice(const std::string& fingerprint) { deviceActions_.forget(fingerprint); }

void MenuBarHostController::showSetup() { setupShown(); }

bool MenuBarHostController::setupShown() {
  if (windows_->showSetup()) return true;
  say("[setup] the setup window is not part of this build — going on as the settings say");
  return false;
}

void MenuBarHostController::openAirDropSettings() {
  say("[menubar] Linux has no settings pane for peer-to-peer Wi-Fi; the warning clears once awdl0 is down");
}

void MenuBarHostController::openAccessibilitySettings() {
  // Linux has no privacy pane: a window says what the grant is and how.
  if (windows_->showInputAccess()) return;
  HostPermissions::openPrivacyPane("Privacy_Accessibility", ports_.log);
}

void MenuBarHostController::showAbout() { windows_->showAbout(); }

void MenuBarHostController::showQr() {
  // The count of whatever session runs when the window looks, not of the one running now.
  auto clientCount = [weak = weak_from_this()]() -> int64_t {
    auto self = weak.lock();
    return self ? self->lifecycle_->clientCount() : 0;
  };
  windows_->showQr(settings_.port, lifecycle_->psk(), lifecycle_->serving(), std::move(clientCount));
}

void MenuBarHostController::showSettings() {
  windows_->showSettings(settingsModel(), [this] {
    syncSettingsModel();
    settingsLink_->refreshPaired();
  });
}

void MenuBarHostController::finishSetup(bool launchAtLogin) {
  if (ports_.installed) {
    if (ports_.loginItem) {
      if (const auto note = ports_.loginItem->setEnabled(launchAtLogin)) say("[setup] login item: " + note->logText());
    }
    HostSettings next = settings_;
    next.launchAtLogin = launchAtLogin;
    changeSetting(next);
  }
  const bool granted = ports_.probe && ports_.probe->screenCapture();
  if (ports_.defaults) {
    if (granted) {
      SetupAssistant::markCompleted(*ports_.defaults);
    } else {
      ports_.defaults->set({{SetupModel::kResumeStepKey, static_cast<int>(SetupModel::Step::permissions)}});
    }
  }
  if (granted && !lifecycle_->serving() && !lifecycle_->transitioning()) startServing();
}

void MenuBarHostController::removeDataAndQuit() {
  // Said first: the log folder goes with the rest.
  say("[menubar] removing the host's data and quitting — Linux keeps no privacy grants for the host, none to reset");
  inputGrant_->cancel();
  windows_->stopSettingsSync();
  updates_->stop();
  lifecycle_->stopNow();
  if (ports_.installed && ports_.loginItem) ports_.loginItem->setEnabled(false);
  if (ports_.removeHostData) ports_.removeHostData();
  ports_.exitProcess ? ports_.exitProcess() : finishQuit(true);
}

}  // namespace lumenrail
