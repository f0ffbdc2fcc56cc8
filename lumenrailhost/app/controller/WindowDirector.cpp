#include "app/controller/WindowDirector.hpp"

namespace lumenrail {

WindowDirector::WindowDirector(Ports ports, Hooks hooks) : ports_(std::move(ports)), hooks_(std::move(hooks)) {}

void WindowDirector::say(const std::string& line) const {
  if (ports_.log) ports_.log(line);
}

void WindowDirector::launch() {
  trayDocked_ = ports_.statusItem && ports_.statusItem->available();
  if (trayDocked_) return;
  // Stock GNOME has no tray, and an autostart may run before the panel:
  // the panel becomes a window until a tray turns up.
  say("[menubar] WARN: no system tray yet — showing the Lumenrail window instead; the icon docks when a tray "
      "appears");
  showMainWindow(true);
  lookForTray();
}

void WindowDirector::activate() {
  if (trayDocked_ && ports_.windows.showPanel) {
    ports_.windows.showPanel();
    return;
  }
  showMainWindow(false);
}

void WindowDirector::trayMayHaveAppeared() {
  if (trayDocked_ || !ports_.statusItem) return;
  if (!ports_.statusItem->available()) {
    // Past the wait only the desktop's announcement looks again.
    if (ports_.main->nowNs() >= trayLookUntilNs_) trayRecheck_.cancel();
    return;
  }
  trayDocked_ = true;
  trayRecheck_.cancel();
  ports_.statusItem->dock();
  ports_.statusItem->show(hooks_.phase ? hooks_.phase() : ServingPhase::stopped);
  say("[menubar] a system tray appeared — the icon is in it");
  if (mainWindowForced_ && mainWindow_) mainWindow_->hide();
  mainWindowForced_ = false;
}

void WindowDirector::lookForTray() {
  if (!ports_.statusItem) return;
  trayLookUntilNs_ = ports_.main->nowNs() + kTrayWaitNs;
  trayRecheck_ = ports_.main->startTimer(kTrayRecheckNs, kTrayRecheckNs, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->trayMayHaveAppeared();
  });
}

void WindowDirector::trayMayHaveGone() {
  if (!trayDocked_ || !ports_.statusItem || ports_.statusItem->available()) return;
  trayDocked_ = false;
  say("[menubar] WARN: the system tray went away — showing the Lumenrail window instead; the icon docks when a "
      "tray appears");
  showMainWindow(true);
  lookForTray();
}

void WindowDirector::showMainWindow(bool forced) {
  if (!mainWindow_ && ports_.windows.makeMain) mainWindow_ = ports_.windows.makeMain();
  if (!mainWindow_) return;
  mainWindowForced_ = forced;
  mainWindow_->show();
}

bool WindowDirector::showSetup() { return ports_.windows.showSetup && ports_.windows.showSetup(); }

void WindowDirector::showAbout() {
  if (!aboutWindow_ && ports_.windows.makeAbout) aboutWindow_ = ports_.windows.makeAbout();
  if (aboutWindow_) aboutWindow_->show();
}

bool WindowDirector::showInputAccess() {
  if (!inputAccessWindow_ && ports_.windows.makeInputAccess) inputAccessWindow_ = ports_.windows.makeInputAccess();
  if (!inputAccessWindow_) return false;
  inputAccessWindow_->show();
  return true;
}

void WindowDirector::showQr(uint16_t port, const std::optional<Bytes>& psk, bool serving,
                            std::function<int64_t()> clientCount) {
  if (!qrWindow_ || qrPort_ != port || qrPsk_ != psk) {
    if (!ports_.windows.makeQr) return;
    qrWindow_ = ports_.windows.makeQr(port, psk, std::move(clientCount));
    qrPort_ = port;
    qrPsk_ = psk;
  }
  if (qrWindow_) qrWindow_->show(serving);
}

void WindowDirector::showSettings(const std::shared_ptr<HostSettingsModel>& model,
                                  const std::function<void()>& refresh) {
  if (!settingsWindow_) {
    if (!ports_.windows.makeSettings) return;
    settingsWindow_ = ports_.windows.makeSettings(model);
    if (!settingsWindow_) return;
  }
  if (refresh) refresh();
  settingsWindow_->show();
  const uint64_t generation = ++settingsTimerGeneration_;
  settingsTimer_ = ports_.main->startTimer(kSettingsSyncNs, kSettingsSyncNs, [weak = weak_from_this(), generation] {
    if (auto self = weak.lock()) self->syncTick(generation);
  });
}

void WindowDirector::syncTick(uint64_t generation) {
  if (settingsTimerGeneration_ != generation) return;
  if (settingsWindow_ && settingsWindow_->isVisible()) {
    if (hooks_.syncSettings) hooks_.syncSettings();
    return;
  }
  // Not from inside its own tick: the timer goes on the next turn.
  settingsTimerGeneration_++;
  ports_.main->post([weak = weak_from_this(), generation] {
    auto self = weak.lock();
    if (self && self->settingsTimerGeneration_ == generation + 1) self->settingsTimer_.cancel();
  });
}

void WindowDirector::stopLookingForTray() { trayRecheck_.cancel(); }

void WindowDirector::stopSettingsSync() { settingsTimer_.cancel(); }

}  // namespace lumenrail
