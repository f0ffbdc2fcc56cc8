#include "app/controller/SettingsModelLink.hpp"

#include <algorithm>
#include <set>

namespace lumenrail {

SettingsModelLink::SettingsModelLink(std::shared_ptr<HostSettingsStore> store, const ServingLifecycle& serving,
                                     Hooks hooks)
    : store_(std::move(store)), serving_(serving), hooks_(std::move(hooks)) {}

std::vector<PairedDevice> SettingsModelLink::pairedList(const std::shared_ptr<PairedDevicesStore>& store) {
  if (!store) return {};
  auto devices = store->all();
  std::stable_sort(devices.begin(), devices.end(),
                   [](const PairedDevice& a, const PairedDevice& b) { return a.lastSeen > b.lastSeen; });
  return devices;
}

// The model goes to the window, which may outlive this link: every callback
// holds it weakly.
HostSettingsModel::Callbacks SettingsModelLink::callbacks() {
  const std::weak_ptr<SettingsModelLink> weak = weak_from_this();
  HostSettingsModel::Callbacks callbacks;
  callbacks.onEdit = [weak](const HostSettings& now, const HostSettings& before) {
    auto self = weak.lock();
    if (!self || self->pushing_) return;
    self->hooks_.edited(before, now);
  };
  callbacks.onApplyRestart = [weak] {
    if (auto self = weak.lock()) self->hooks_.applyRestart();
  };
  callbacks.onSetCaptureMain = [weak](bool value) {
    if (auto self = weak.lock()) self->hooks_.setCaptureMain(value);
  };
  callbacks.onRename = [weak](const std::string& fingerprint, const std::string& alias) {
    auto self = weak.lock();
    if (!self) return;
    if (const auto store = self->serving_.pairedDevices()) store->rename(fingerprint, alias);
    self->hooks_.devicesChanged();
  };
  callbacks.onForget = [weak](const std::string& fingerprint) {
    auto self = weak.lock();
    if (!self) return;
    if (const auto store = self->serving_.pairedDevices()) store->revoke(fingerprint);
    if (auto* session = self->serving_.serving() ? self->serving_.session() : nullptr) {
      if (auto* view = session->view()) view->disconnect(fingerprint);
    }
    self->hooks_.devicesChanged();
  };
  callbacks.refreshPaired = [weak] {
    auto self = weak.lock();
    return self ? pairedList(self->serving_.pairedDevices()) : std::vector<PairedDevice>{};
  };
  callbacks.onRemoveData = [weak] {
    if (auto self = weak.lock()) self->hooks_.removeData();
  };
  return callbacks;
}

std::shared_ptr<HostSettingsModel> SettingsModelLink::model(const HostSettings& settings) {
  if (!model_) {
    model_ = std::make_shared<HostSettingsModel>(settings, serving_.runningSettings(), serving_.serving(), store_,
                                                 callbacks());
  }
  return model_;
}

void SettingsModelLink::push(const HostSettings& settings) {
  if (!model_) return;
  // The model saves and reports the record once more; this change has been
  // applied already.
  pushing_ = true;
  model_->setSettings(settings);
  pushing_ = false;
}

void SettingsModelLink::sync() {
  if (!model_) return;
  const bool serving = serving_.serving();
  if (model_->serving() != serving) model_->setServing(serving);
  if (model_->running() != serving_.runningSettings()) model_->setRunning(serving_.runningSettings());
  ServingSession* session = serving ? serving_.session() : nullptr;
  const std::optional<bool> live = session ? std::optional<bool>(session->captureMain()) : std::nullopt;
  if (model_->liveCaptureMain() != live) model_->setLiveCaptureMain(live);
  std::set<std::string> connected;
  if (const auto* view = session ? session->view() : nullptr) {
    for (const auto& client : view->connectedClients()) {
      if (client.fingerprint) connected.insert(*client.fingerprint);
    }
  }
  if (model_->connectedFingerprints() != connected) model_->setConnectedFingerprints(std::move(connected));
}

void SettingsModelLink::refreshPaired() {
  if (model_) model_->setPairedDevices(pairedList(serving_.pairedDevices()));
}

}  // namespace lumenrail
