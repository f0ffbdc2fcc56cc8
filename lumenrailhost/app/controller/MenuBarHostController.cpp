#include "app/controller/MenuBarHostController.hpp"

#include <algorithm>
#include <set>

#include "app/controller/SupportActions.hpp"
#include "app/text/L10n.hpp"
#include "app/text/ProductIdentity.hpp"
#include "app/windows/SetupModel.hpp"
#include "platform/AwdlStatus.hpp"
#include "settings/HostDataRemoval.hpp"
#include "settings/OpenServing.hpp"
#include "settings/UpdateCheck.hpp"

namespace lumenrail {

MenuBarHostController::MenuBarHostController(HostSettings settings, std::shared_ptr<HostSettingsStore> store,
                                             Ports ports)
    : settings_(std::move(settings)),
      store_(std::move(store)),
      ports_(std::move(ports)),
      inputGrant_([probe = ports_.probe] { return probe && probe->mayPostInput(); }),
      connectNotice_(ports_.notifier, ports_.installed, [main = ports_.main] { return main->nowNs(); }, ports_.log) {}

void MenuBarHostController::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void MenuBarHostController::sayError(const std::string& line) const {
  if (ports_.errorLog) {
    ports_.errorLog(line);
  } else {
    Log::lineTo(2, line);
  }
}

void MenuBarHostController::onMain(std::function<void(MenuBarHostController&)> work) {
  ports_.main->post([weak = weak_from_this(), work = std::move(work)] {
    if (auto self = weak.lock()) work(*self);
  });
}

ServingPhase MenuBarHostController::phase() const {
  return static_cast<ServingPhase>((serving_ ? 2 : 0) + (transitioning_ ? 1 : 0));
}

void MenuBarHostController::launch() {
  SupportActions::setLaunchedAt(static_cast<double>(ports_.main->nowNs()) / static_cast<double>(kNsPerSecond));
  SupportActions::setLiveSections([weak = weak_from_this()]() -> std::vector<SupportReport::Section> {
    if (auto self = weak.lock()) return PanelSnapshot::supportSections(*self);
    return {};
  });
  trayDocked_ = ports_.statusItem && ports_.statusItem->available();
  if (!trayDocked_) {
    // Stock GNOME has no tray, and an autostart may run before the panel:
    // the panel becomes a window until a tray turns up.
    say("[menubar] WARN: no system tray yet — showing the Lumenrail window instead; the icon docks when a tray "
        "appears");
    showMainWindow(true);
    lookForTray();
  }
  refreshGlyph();
  applyUpdateCheckSetting();

  const bool setupDue = ports_.defaults && ports_.probe &&
                        SetupAssistant::shouldShowOnLaunch(*ports_.defaults, *ports_.probe, ports_.installed);
  const bool setupAsked = std::find(ports_.arguments.begin(), ports_.arguments.end(), "--setup") != ports_.arguments.end();
  if (setupDue || setupAsked) {
    if (ports_.windows.showSetup && ports_.windows.showSetup()) return;
    say("[setup] the setup window is not part of this build — going on as the settings say");
  }
  if (settings_.autoStart) startServing();
}

void MenuBarHostController::activate() {
  if (trayDocked_ && ports_.windows.showPanel) {
    ports_.windows.showPanel();
    return;
  }
  showMainWindow(false);
}

void MenuBarHostController::trayMayHaveAppeared() {
  if (trayDocked_ || !ports_.statusItem) return;
  if (!ports_.statusItem->available()) {
    // Past the wait only the desktop's announcement looks again.
    if (ports_.main->nowNs() >= trayLookUntilNs_) trayRecheck_.cancel();
    return;
  }
  trayDocked_ = true;
  trayRecheck_.cancel();
  ports_.statusItem->dock();
  ports_.statusItem->show(phase());
  say("[menubar] a system tray appeared — the icon is in it");
  if (mainWindowForced_ && mainWindow_) mainWindow_->hide();
  mainWindowForced_ = false;
}

void MenuBarHostController::lookForTray() {
  if (!ports_.statusItem) return;
  trayLookUntilNs_ = ports_.main->nowNs() + kTrayWaitNs;
  trayRecheck_ = ports_.main->startTimer(kTrayRecheckNs, kTrayRecheckNs, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->trayMayHaveAppeared();
  });
}

void MenuBarHostController::trayMayHaveGone() {
  if (!trayDocked_ || !ports_.statusItem || ports_.statusItem->available()) return;
  trayDocked_ = false;
  say("[menubar] WARN: the system tray went away — showing the Lumenrail window instead; the icon docks when a "
      "tray appears");
  showMainWindow(true);
  lookForTray();
}

void MenuBarHostController::showMainWindow(bool forced) {
  if (!mainWindow_ && ports_.windows.makeMain) mainWindow_ = ports_.windows.makeMain();
  if (!mainWindow_) return;
  mainWindowForced_ = forced;
  mainWindow_->show();
}

void MenuBarHostController::startServing() {
  if (serving_ || transitioning_ || quitting_) return;
  transitioning_ = true;
  startFailure_.reset();
  refreshGlyph();
  // A fresh key at every start: the QR link shows the latest one.
  psk_ = settings_.servesKeyOnlyLinks() && ports_.randomKey ? std::optional<Bytes>(ports_.randomKey(kPskBytes)) : std::nullopt;
  SessionConfig config;
  config.width = settings_.width;
  config.height = settings_.height;
  config.fps = settings_.fps;
  config.port = settings_.port;
  config.captureMain = settings_.captureMain;
  config.usb = settings_.usbEnabled;
  config.psk = psk_;
  config.pairing = pairingIfEnabled();
  // With pairing on there is no key to fall back on unless key-only links
  // are allowed: serving without pairing would let anyone on the network in.
  if (settings_.pairingEnabled && !config.pairing && !config.psk) {
    transitioning_ = false;
    refreshGlyph();
    sayError("[menubar] ERROR: pairing is on but cannot start (see host log) — not serving");
    return;
  }
  config.penHighRate = settings_.penHighRate;
  const bool open = OpenServing::isOpen(config.pairing.has_value(), config.psk.has_value());
  std::shared_ptr<ServingSession> session;
  try {
    session = ports_.makeSession(config);
  } catch (const std::exception& e) {
    // The reason is what the user acts on (a desktop the host cannot serve names the ones it can).
    transitioning_ = false;
    refreshGlyph();
    sayError("[menubar] ERROR: " + std::string(e.what()));
    return;
  }
  if (!session) {
    transitioning_ = false;
    sayError("[menubar] pipeline failed to start (see host log)");
    showStartFailure("");
    refreshGlyph();
    return;
  }
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  ServingSession::Hooks hooks;
  hooks.onClientMustUpdate = [weak](const std::optional<std::string>& name) {
    if (auto self = weak.lock()) self->showClientMustUpdate(name);
  };
  hooks.onClientNamed = [weak](const std::string& name, bool overNetwork) {
    if (auto self = weak.lock()) self->connectNotice_.sessionNamed(name, overNetwork, self->settings_.connectNotice);
  };
  session->setHooks(std::move(hooks));
  session->setVersionVerdict(versionVerdict_.floor, versionVerdict_.update, versionVerdict_.version);
  if (ports_.displayAwake) ports_.displayAwake->acquire();
  // Said before anything listens, at every start: nothing else would tell the owner.
  servingOpen_ = open;
  if (open) {
    say(OpenServing::warning("menubar", "turn on pairing in Settings, or start with --pair"));
    if (panelModel_) panelModel_->refresh();
  }
  starting_ = session;
  const HostSettings startedWith = settings_;
  ports_.serveQueue->post([weak, session, startedWith, main = ports_.main] {
    const bool ok = session->startServing();
    const std::string failure = ok ? std::string() : session->startFailure();
    main->post([weak, session, startedWith, ok, failure] {
      auto self = weak.lock();
      if (!self) return;
      self->starting_.reset();
      self->transitioning_ = false;
      if (ok) {
        self->pipeline_ = session;
        self->serving_ = true;
        self->runningSettings_ = startedWith;
        self->inputGrantTimer_.cancel();
        if (!self->quitting_) {
          self->inputGrantTimer_ = self->ports_.main->startTimer(kInputGrantPollNs, kInputGrantPollNs, [weak] {
            if (auto c = weak.lock()) c->pollInputGrant();
          });
        }
      } else {
        self->pipeline_.reset();
        self->serving_ = false;
        self->runningSettings_.reset();
        self->servingOpen_ = false;
        if (self->ports_.displayAwake) self->ports_.displayAwake->release();
        self->sayError("[menubar] pipeline failed to start (see host log)");
        self->showStartFailure(failure);
      }
      self->refreshGlyph();
      self->syncSettingsModel();
    });
  });
}

void MenuBarHostController::showStartFailure(const std::string& reason) {
  startFailure_ = reason.empty() ? L10n::text("failure.unknown") : reason;
  if (!ports_.notifier) return;
  Notifier::Notification notice;
  notice.id = "lumenrail.startFailed";
  notice.title = L10n::text("panel.startFailed.title");
  notice.body = *startFailure_;
  ports_.notifier->post(notice, [log = ports_.log](const std::string& error) {
    if (!error.empty() && log) log("[menubar] the failed start could not be notified: " + error);
  });
}

void MenuBarHostController::stopServing(std::function<void()> then) {
  if (!pipeline_ || transitioning_) return;
  transitioning_ = true;
  refreshGlyph();
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  ports_.serveQueue->post([weak, session = pipeline_, then = std::move(then), main = ports_.main] {
    session->stopServing();
    main->post([weak, then] {
      auto self = weak.lock();
      if (!self) return;
      self->pipeline_.reset();
      self->serving_ = false;
      self->runningSettings_.reset();
      self->servingOpen_ = false;
      self->transitioning_ = false;
      self->inputGrantTimer_.cancel();
      self->pollInputGrant();
      if (self->ports_.displayAwake) self->ports_.displayAwake->release();
      self->refreshGlyph();
      self->syncSettingsModel();
      if (then) then();
    });
  });
}

void MenuBarHostController::toggleServing() {
  if (serving_) {
    stopServing();
  } else {
    startServing();
  }
}

void MenuBarHostController::restartServing() {
  if (!serving_) {
    startServing();
  } else if (!transitioning_) {
    stopServing([weak = weak_from_this()] {
      if (auto self = weak.lock()) self->startServing();
    });
  }
}

std::optional<WireServer::Pairing> MenuBarHostController::pairingIfEnabled() {
  if (!settings_.pairingEnabled) return std::nullopt;
  // A failed load is tried again at the next start; a loaded one is kept.
  if (!pairingSupport_ && ports_.loadPairing) pairingSupport_ = ports_.loadPairing();
  return pairingSupport_;
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
  if (unchanged && serving_ && pipeline_ && !transitioning_ && pipeline_->captureMain() != captureMain) {
    pipeline_->setCaptureMain(captureMain);
  }
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
  if (panelModel_) panelModel_->refresh();
  if (serving_ && pipeline_ && !transitioning_) {
    if (old.captureMain != now.captureMain) pipeline_->setCaptureMain(now.captureMain);
    if (old.penHighRate != now.penHighRate) pipeline_->setPenHighRate(now.penHighRate);
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
  settingsModel_ = std::make_shared<HostSettingsModel>(settings_, runningSettings_, serving_, store_, callbacks);
  return settingsModel_;
}

void MenuBarHostController::syncSettingsModel() {
  if (!settingsModel_) return;
  if (settingsModel_->serving() != serving_) settingsModel_->setServing(serving_);
  if (settingsModel_->running() != runningSettings_) settingsModel_->setRunning(runningSettings_);
  const std::optional<bool> live =
      serving_ && pipeline_ ? std::optional<bool>(pipeline_->captureMain()) : std::nullopt;
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
  if (panelModel_) panelModel_->refresh();
}

void MenuBarHostController::pollInputGrant() {
  const bool clientConnected = serving_ && pipeline_ && pipeline_->clientCount() >= 1;
  const auto edge = inputGrant_.poll(clientConnected);
  if (!edge) return;
  if (panelModel_) panelModel_->refresh();
  if (*edge == InputGrantWatch::Edge::blocked) {
    say("[pen] WARN: input access is OFF with a client connected — pen/touch/key input DROPPED");
    onMain([](MenuBarHostController& self) { self.showInputBlocked(); });
    return;
  }
  // This alert and no other: a pairing question may be up above it.
  if (inputBlockedAlert_) inputBlockedAlert_->end(1001);
  say(clientConnected ? "[pen] input access is back — input injection works again"
                      : "[pen] input-blocked notice cleared (no client connected)");
}

void MenuBarHostController::showInputBlocked() {
  if (inputBlockedAlert_ || !ports_.alerts) return;
  if (everQuieted_ && ports_.main->nowNs() < inputBlockedQuietUntilNs_) return;
  AlertRunner::Content content;
  content.title = L10n::text("inputBlocked.title");
  content.detail = L10n::text("inputBlocked.detail");
  content.buttons = {L10n::text("action.openAccessibility"), L10n::text("action.ok")};
  auto alert = ports_.alerts->make(content);
  inputBlockedAlert_ = alert;
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  const int response = alert->runModal();
  auto self = weak.lock();  // the nested loop may have outlived the controller
  if (!self) return;
  if (response == 1000) openAccessibilitySettings();
  inputBlockedAlert_.reset();
  everQuieted_ = true;
  inputBlockedQuietUntilNs_ = ports_.main->nowNs() + kInputBlockedQuietNs;
}

void MenuBarHostController::applyUpdateCheckSetting() {
  if (settings_.checkForUpdates) {
    if (updateChecker_ || !ports_.makeUpdateChecker) return;
    const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
    UpdateCheckerRequest request;
    request.running = ProductIdentity::kVersion;
    request.platform = ProductIdentity::kPlatform;
    request.onUpdate = [weak](const UpdateRelease& release) {
      auto self = weak.lock();
      if (!self) return;
      self->availableUpdate_ = release;
      if (self->panelModel_) self->panelModel_->refresh();
    };
    request.onVerdict = [weak](HostUpdate update, const std::string& version, int64_t minClient) {
      auto self = weak.lock();
      if (!self) return;
      self->versionVerdict_ = {std::max<int64_t>(minClient, 0), update, version};
      if (self->panelModel_) self->panelModel_->refresh();
      if (self->pipeline_) self->pipeline_->setVersionVerdict(self->versionVerdict_.floor, update, version);
    };
    updateChecker_ = ports_.makeUpdateChecker(std::move(request));
    if (updateChecker_) updateChecker_->start();
    return;
  }
  if (updateChecker_) updateChecker_->stop();
  updateChecker_.reset();
  availableUpdate_.reset();
  versionVerdict_ = {};
  if (panelModel_) panelModel_->refresh();
  if (pipeline_) pipeline_->setVersionVerdict(0, HostUpdate::none, "");
  say("[update] check off (settings: checkForUpdates=false)");
}

void MenuBarHostController::openUpdate() {
  if (!availableUpdate_ || !UpdateCheck::isAllowedLink(availableUpdate_->url) || !ports_.opener) return;
  ports_.opener->open(availableUpdate_->url, [](bool) {});
  say("[update] opened " + availableUpdate_->url);
}

void MenuBarHostController::showClientMustUpdate(const std::optional<std::string>& deviceName) {
  clientAppUpdate_ = deviceName.value_or("");
  if (panelModel_) panelModel_->refresh();
  say("[version] asked the owner to update the app on " + deviceName.value_or("an unnamed device"));
}

void MenuBarHostController::dismissClientAppUpdate() {
  clientAppUpdate_.reset();
  if (panelModel_) panelModel_->refresh();
}

void MenuBarHostController::quit() {
  if (quitting_) return;
  quitting_ = true;
  inputGrantTimer_.cancel();
  trayRecheck_.cancel();
  if (updateChecker_) updateChecker_->stop();
  // A session that is starting is stopped once its start has returned: the
  // serve queue runs the stop behind it.
  const auto session = pipeline_ ? pipeline_ : starting_;
  if (!session) {
    finishQuit(true);
    return;
  }
  say("[menubar] quitting — stopping serving first");
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  quitBound_ = ports_.main->startTimer(kQuitWaitNs, 0, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->say("[menubar] WARN: serving did not stop within " + std::to_string(kQuitWaitNs / kNsPerSecond) +
              " s — quitting anyway");
    self->finishQuit(false);
  });
  ports_.serveQueue->post([weak, session, main = ports_.main] {
    session->stopServing();
    main->post([weak] {
      auto self = weak.lock();
      if (!self) return;
      self->pipeline_.reset();
      self->serving_ = false;
      if (self->ports_.displayAwake) self->ports_.displayAwake->release();
      self->finishQuit(true);
    });
  });
}

void MenuBarHostController::finishQuit(bool clean) {
  if (quitDone_) return;
  quitDone_ = true;
  stoppedCleanly_ = clean;
  if (ports_.terminate) ports_.terminate();
}

std::shared_ptr<PairedDevicesStore> MenuBarHostController::pairedDevices() const {
  return pairingSupport_ ? pairingSupport_->peers : nullptr;
}

ServingSessionView* MenuBarHostController::session() const {
  return serving_ && pipeline_ ? pipeline_->view() : nullptr;
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
  if (ports_.windows.showSetup && ports_.windows.showSetup()) return;
  say("[setup] the setup window is not part of this build — going on as the settings say");
}

void MenuBarHostController::openAirDropSettings() {
  say("[menubar] Linux has no settings pane for peer-to-peer Wi-Fi; the warning clears once awdl0 is down");
}

void MenuBarHostController::openAccessibilitySettings() {
  // Linux has no privacy pane: a window says what the grant is and how.
  if (!inputAccessWindow_ && ports_.windows.makeInputAccess) inputAccessWindow_ = ports_.windows.makeInputAccess();
  if (inputAccessWindow_) {
    inputAccessWindow_->show();
    return;
  }
  HostPermissions::openPrivacyPane("Privacy_Accessibility", ports_.log);
}

void MenuBarHostController::showAbout() {
  if (!aboutWindow_ && ports_.windows.makeAbout) aboutWindow_ = ports_.windows.makeAbout();
  if (aboutWindow_) aboutWindow_->show();
}

void MenuBarHostController::showQr() {
  const uint16_t port = settings_.port;
  if (!qrWindow_ || qrPort_ != port || qrPsk_ != psk_) {
    if (!ports_.windows.makeQr) return;
    // The count of whatever session runs when the window looks, not of the one running now.
    auto clientCount = [weak = weak_from_this()]() -> int64_t {
      auto self = weak.lock();
      return self && self->pipeline_ ? self->pipeline_->clientCount() : 0;
    };
    qrWindow_ = ports_.windows.makeQr(port, psk_, std::move(clientCount));
    qrPort_ = port;
    qrPsk_ = psk_;
  }
  if (qrWindow_) qrWindow_->show(serving_);
}

void MenuBarHostController::showSettings() {
  const auto model = settingsModel();
  if (!settingsWindow_) {
    if (!ports_.windows.makeSettings) return;
    settingsWindow_ = ports_.windows.makeSettings(model);
    if (!settingsWindow_) return;
  }
  syncSettingsModel();
  model->setPairedDevices(pairedList());
  settingsWindow_->show();
  const uint64_t generation = ++settingsTimerGeneration_;
  const std::weak_ptr<MenuBarHostController> weak = weak_from_this();
  settingsTimer_ = ports_.main->startTimer(kSettingsSyncNs, kSettingsSyncNs, [weak, generation] {
    auto self = weak.lock();
    if (!self || self->settingsTimerGeneration_ != generation) return;
    if (self->settingsWindow_ && self->settingsWindow_->isVisible()) {
      self->syncSettingsModel();
      return;
    }
    // Not from inside its own tick: the timer goes on the next turn.
    self->settingsTimerGeneration_++;
    self->onMain([generation](MenuBarHostController& c) {
      if (c.settingsTimerGeneration_ == generation + 1) c.settingsTimer_.cancel();
    });
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
  if (granted && !serving_ && !transitioning_) startServing();
}

void MenuBarHostController::removeDataAndQuit() {
  // Said first: the log folder goes with the rest.
  say("[menubar] removing the host's data and quitting — Linux keeps no privacy grants for the host, none to reset");
  quitting_ = true;
  inputGrantTimer_.cancel();
  settingsTimer_.cancel();
  if (updateChecker_) updateChecker_->stop();
  // On the serve queue and waited for: a start in flight finishes first.
  if (const auto session = pipeline_ ? pipeline_ : starting_) {
    ports_.serveQueue->postAndWait([session] { session->stopServing(); });
    if (ports_.displayAwake) ports_.displayAwake->release();
  }
  if (ports_.installed && ports_.loginItem) ports_.loginItem->setEnabled(false);
  if (ports_.removeHostData) {
    ports_.removeHostData();
  } else if (const auto targets = HostDataRemoval::Targets::live()) {
    HostDataRemoval::remove(*targets);
  }
  if (ports_.exitProcess) {
    ports_.exitProcess();
  } else {
    finishQuit(true);
  }
}

}  // namespace lumenrail
