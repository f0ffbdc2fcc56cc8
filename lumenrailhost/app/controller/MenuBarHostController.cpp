#include "app/controller/MenuBarHostController.hpp"

#include <algorithm>
#include <set>

#include "app/controller/SupportActions.hpp"
#include "app/windows/SetupModel.hpp"
#include "platform/AwdlStatus.hpp"

namespace lumenrail {

MenuBarHostController::MenuBarHostController(HostSettings settings, std::shared_ptr<HostSettingsStore> store,
                                             Ports ports)
    : settings_(std::move(settings)),
      store_(std::move(store)),
      ports_(std::move(ports)),
      lifecycle_(makeServing()),
      inputGrant_(makeInputGrant()),
      windows_(makeWindows()),
      updates_(makeUpdates()),
      connectNotice_(ports_.notifier, ports_.installed, [main = ports_.main] { return main->nowNs(); }, ports_.log) {}

// The parts' hooks hold the controller by `this`: each part is owned by the
// controller alone, and its own timers and completions hold it weakly.
std::shared_ptr<ServingLifecycle> MenuBarHostController::makeServing() {
  ServingLifecycle::Ports ports{ports_.main,         ports_.serveQueue, ports_.makeSession, ports_.loadPairing,
                                ports_.randomKey,    ports_.displayAwake, ports_.notifier,  ports_.log,
                                ports_.errorLog};
  ServingLifecycle::Hooks hooks;
  hooks.refreshGlyph = [this] { refreshGlyph(); };
  hooks.refreshPanel = [this] { refreshPanel(); };
  hooks.settled = [this] { syncSettingsModel(); };
  hooks.started = [this] { inputGrant_->start(); };
  hooks.stopped = [this] { inputGrant_->stop(); };
  hooks.prepare = [this](ServingSession& session) { prepareSession(session); };
  return std::make_shared<ServingLifecycle>(std::move(ports), std::move(hooks));
}

std::shared_ptr<InputGrantMonitor> MenuBarHostController::makeInputGrant() {
  InputGrantMonitor::Hooks hooks;
  hooks.clientConnected = [this] { return lifecycle_->serving() && lifecycle_->clientCount() >= 1; };
  hooks.changed = [this] { refreshPanel(); };
  hooks.openAccessibility = [this] { openAccessibilitySettings(); };
  return std::make_shared<InputGrantMonitor>(
      InputGrantMonitor::Ports{ports_.main, ports_.alerts, ports_.probe, ports_.log}, std::move(hooks));
}

std::shared_ptr<WindowDirector> MenuBarHostController::makeWindows() {
  WindowDirector::Hooks hooks;
  hooks.phase = [this] { return phase(); };
  hooks.syncSettings = [this] { syncSettingsModel(); };
  return std::make_shared<WindowDirector>(
      WindowDirector::Ports{ports_.main, ports_.statusItem, ports_.windows, ports_.log}, std::move(hooks));
}

std::shared_ptr<UpdateNotices> MenuBarHostController::makeUpdates() {
  UpdateNotices::Hooks hooks;
  hooks.changed = [this] { refreshPanel(); };
  hooks.verdictChanged = [this](const UpdateNotices::VersionVerdict& verdict) {
    if (auto* session = lifecycle_->session()) session->setVersionVerdict(verdict.floor, verdict.update, verdict.version);
  };
  return std::make_shared<UpdateNotices>(UpdateNotices::Ports{ports_.makeUpdateChecker, ports_.opener, ports_.log},
                                         std::move(hooks));
}

void MenuBarHostController::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void MenuBarHostController::onMain(std::function<void(MenuBarHostController&)> work) {
  ports_.main->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
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
  if (setupDue || ports_.setupRequested) {
    if (windows_->showSetup()) return;
    say("[setup] the setup window is not part of this build — going on as the settings say");
  }
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

void MenuBarHostController::toggleServing() {
  if (lifecycle_->serving()) {
    stopServing();
  } else {
    startServing();
  }
}

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
  if (settingsModel_) {
    // The model saves and reports the record once more; this change has been
    // applied already.
    pushingToModel_ = true;
    settingsModel_->setSettings(next);
    pushingToModel_ = false;
  }
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

std::shared_ptr<HostSettingsModel> MenuBarHostController::settingsModel() {
  if (settingsModel_) return settingsModel_;
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  HostSettingsModel::Callbacks callbacks;
  callbacks.onEdit = [weak](const HostSettings& now, const HostSettings& before) {
    auto self = weak.lock();
    if (!self || self->pushingToModel_) return;
    self->settingsChanged(before, now);
  };
  callbacks.onApplyRestart = [weak] {
    if (auto self = weak.lock()) self->restartServing();
  };
  callbacks.onSetCaptureMain = [weak](bool value) {
    if (auto self = weak.lock()) self->switchMode(value);
  };
  callbacks.onRename = [weak](const std::string& fingerprint, const std::string& alias) {
    auto self = weak.lock();
    if (!self) return;
    if (const auto store = self->pairedDevices()) store->rename(fingerprint, alias);
    self->refreshGlyph();
  };
  callbacks.onForget = [weak](const std::string& fingerprint) {
    auto self = weak.lock();
    if (!self) return;
    if (const auto store = self->pairedDevices()) store->revoke(fingerprint);
    if (auto* view = self->session()) view->disconnect(fingerprint);
    self->refreshGlyph();
  };
  callbacks.refreshPaired = [weak] {
    auto self = weak.lock();
    return self ? self->pairedList() : std::vector<PairedDevice>{};
  };
  callbacks.onRemoveData = [weak] {
    if (auto self = weak.lock()) self->removeDataAndQuit();
  };
  settingsModel_ = std::make_shared<HostSettingsModel>(settings_, lifecycle_->runningSettings(), lifecycle_->serving(),
                                                      store_, callbacks);
  return settingsModel_;
}

void MenuBarHostController::syncSettingsModel() {
  if (!settingsModel_) return;
  const bool serving = lifecycle_->serving();
  if (settingsModel_->serving() != serving) settingsModel_->setServing(serving);
  if (settingsModel_->running() != lifecycle_->runningSettings()) settingsModel_->setRunning(lifecycle_->runningSettings());
  const auto* running = serving ? lifecycle_->session() : nullptr;
  const std::optional<bool> live = running ? std::optional<bool>(running->captureMain()) : std::nullopt;
  if (settingsModel_->liveCaptureMain() != live) settingsModel_->setLiveCaptureMain(live);
  std::set<std::string> connected;
  if (const auto* view = session()) {
    for (const auto& client : view->connectedClients()) {
      if (client.fingerprint) connected.insert(*client.fingerprint);
    }
  }
  if (settingsModel_->connectedFingerprints() != connected) {
    settingsModel_->setConnectedFingerprints(std::move(connected));
  }
}

void MenuBarHostController::refreshGlyph() {
  if (ports_.statusItem) ports_.statusItem->show(phase());
  refreshPanel();
}

void MenuBarHostController::refreshPanel() {
  if (panelModel_) panelModel_->refresh();
}

void MenuBarHostController::applyUpdateCheckSetting() { updates_->apply(settings_.checkForUpdates); }
void MenuBarHostController::openUpdate() { updates_->openUpdate(); }

void MenuBarHostController::showClientMustUpdate(const std::optional<std::string>& deviceName) {
  updates_->clientMustUpdate(deviceName);
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

std::vector<PairedDevice> MenuBarHostController::pairedList() const {
  const auto store = pairedDevices();
  if (!store) return {};
  auto devices = store->all();
  std::stable_sort(devices.begin(), devices.end(),
                   [](const PairedDevice& a, const PairedDevice& b) { return a.lastSeen > b.lastSeen; });
  return devices;
}

HostPanelModel& MenuBarHostController::panelModel() {
  if (panelModel_) return *panelModel_;
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  auto closing = [weak](std::function<void()> operation) {
    auto self = weak.lock();
    if (!self) return;
    if (self->panelCloser_) {
      self->panelCloser_(std::move(operation));
    } else {
      self->onMain([operation = std::move(operation)](MenuBarHostController&) { operation(); });
    }
  };
  auto snapshot = [weak] {
    auto self = weak.lock();
    return self ? PanelSnapshot::snapshot(*self) : PanelSnapshot::fallback();
  };
  panelModel_ = std::make_unique<HostPanelModel>(
      PanelSnapshot::actions(std::weak_ptr<HostCommands>(shared_from_this()), std::move(closing)),
      std::move(snapshot));
  return *panelModel_;
}

namespace {

// Rename needs a dialog; without one the request ends as cancelled.
class NoRenamePrompt final : public RenamePrompt {
 public:
  std::optional<std::string> ask(const Request&) override { return std::nullopt; }
};

}  // namespace

DeviceActions& MenuBarHostController::deviceActions() {
  if (deviceActions_) return *deviceActions_;
  static NoRenamePrompt none;
  RenamePrompt& prompt = ports_.renamePrompt ? *ports_.renamePrompt : static_cast<RenamePrompt&>(none);
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  DeviceActions::Hooks hooks;
  hooks.pairedChanged = [weak] {
    auto self = weak.lock();
    if (self && self->settingsModel_) self->settingsModel_->setPairedDevices(self->pairedList());
  };
  hooks.refreshPanel = [weak] {
    if (auto self = weak.lock()) self->refreshGlyph();
  };
  deviceActions_ = std::make_unique<DeviceActions>(*this, prompt, std::move(hooks), ports_.log);
  return *deviceActions_;
}

void MenuBarHostController::setMainDevice(const std::string& fingerprint) { deviceActions().setMainDevice(fingerprint); }
void MenuBarHostController::disconnectDevice(const std::string& fingerprint) { deviceActions().disconnect(fingerprint); }
void MenuBarHostController::renameDevice(const std::string& fingerprint) { deviceActions().rename(fingerprint); }
void MenuBarHostController::forgetDevice(const std::string& fingerprint) { deviceActions().forget(fingerprint); }

void MenuBarHostController::showSetup() {
  if (windows_->showSetup()) return;
  say("[setup] the setup window is not part of this build — going on as the settings say");
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
  const auto model = settingsModel();
  windows_->showSettings(model, [this, &model] {
    syncSettingsModel();
    model->setPairedDevices(pairedList());
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
  if (ports_.exitProcess) {
    ports_.exitProcess();
  } else {
    finishQuit(true);
  }
}

}  // namespace lumenrail
