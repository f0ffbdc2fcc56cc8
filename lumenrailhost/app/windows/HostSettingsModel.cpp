#include "app/windows/HostSettingsModel.hpp"

namespace lumenrail {

std::string_view HostSettingsModel::bannerKey(RestartField field) {
  switch (field) {
    case RestartField::resolution: return "settings.pending.resolution";
    case RestartField::frameRate: return "settings.pending.frameRate";
    case RestartField::port: return "settings.pending.port";
    case RestartField::cableTransports: return "settings.pending.cableTransports";
    case RestartField::wifiEncryption: return "settings.pending.wifiEncryption";
    case RestartField::pairing: return "settings.pending.pairing";
  }
  return "";
}

std::vector<HostSettingsModel::RestartField> HostSettingsModel::restartFieldsBetween(const HostSettings& running,
                                                                                     const HostSettings& edited) {
  std::vector<RestartField> out;
  for (RestartField field : allRestartFields) {
    bool differs = false;
    switch (field) {
      case RestartField::resolution: differs = running.width != edited.width || running.height != edited.height; break;
      case RestartField::frameRate: differs = running.fps != edited.fps; break;
      case RestartField::port: differs = running.port != edited.port; break;
      case RestartField::cableTransports: differs = running.usbEnabled != edited.usbEnabled; break;
      // Key-only links decide whether serving makes a key: a restart too.
      case RestartField::wifiEncryption:
        differs = running.secureWifi != edited.secureWifi || running.keyOnlyLinks != edited.keyOnlyLinks;
        break;
      case RestartField::pairing: differs = running.pairingEnabled != edited.pairingEnabled; break;
    }
    if (differs) out.push_back(field);
  }
  return out;
}

HostSettingsModel::HostSettingsModel(HostSettings settings, std::optional<HostSettings> running, bool serving,
                                     std::shared_ptr<HostSettingsStore> store, Callbacks callbacks)
    : settings_(std::move(settings)),
      running_(std::move(running)),
      serving_(serving),
      store_(std::move(store)),
      callbacks_(std::move(callbacks)) {}

void HostSettingsModel::observe(std::function<void(Published)> observer) { observers_.push_back(std::move(observer)); }

void HostSettingsModel::publish(Published what) {
  for (const auto& observer : observers_) observer(what);
}

void HostSettingsModel::setSettings(const HostSettings& next) {
  if (next == settings_) return;
  const HostSettings before = settings_;
  settings_ = next;
  publish(Published::settings);
  // Stored first, so the owner always finds the new record in the store.
  if (store_) store_->save(settings_);
  if (callbacks_.onEdit) callbacks_.onEdit(settings_, before);
}

void HostSettingsModel::setRunning(std::optional<HostSettings> running) {
  running_ = std::move(running);
  publish(Published::running);
}

void HostSettingsModel::setServing(bool serving) {
  serving_ = serving;
  publish(Published::serving);
}

void HostSettingsModel::setLiveCaptureMain(std::optional<bool> live) {
  liveCaptureMain_ = live;
  publish(Published::liveCaptureMain);
}

void HostSettingsModel::setPairedDevices(std::vector<PairedDevice> devices) {
  pairedDevices_ = std::move(devices);
  publish(Published::pairedDevices);
}

void HostSettingsModel::setConnectedFingerprints(std::set<std::string> fingerprints) {
  connectedFingerprints_ = std::move(fingerprints);
  publish(Published::connectedDevices);
}

void HostSettingsModel::setLoginItemNote(std::optional<LoginItem::Note> note) {
  loginItemNote_ = std::move(note);
  publish(Published::loginItemNote);
}

std::vector<HostSettingsModel::RestartField> HostSettingsModel::pendingRestartFields() const {
  if (!running_ || !serving_) return {};
  return restartFieldsBetween(*running_, settings_);
}

std::vector<PairedDevice> HostSettingsModel::refreshPaired() const {
  return callbacks_.refreshPaired ? callbacks_.refreshPaired() : std::vector<PairedDevice>{};
}

}  // namespace lumenrail
