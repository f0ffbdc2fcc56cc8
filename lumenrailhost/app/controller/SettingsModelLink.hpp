#pragma once

// The settings window's model, made on first use and kept, and the link both
// ways: the serving state goes into it only where it changed, its device
// commands run against the pairing store and the session, and its other
// commands go to the owner. Edits the owner pushes in are not reported back
// to it. Main thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/controller/ServingLifecycle.hpp"
#include "app/windows/HostSettingsModel.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

class SettingsModelLink final : public std::enable_shared_from_this<SettingsModelLink> {
 public:
  struct Hooks {
    // An edit made in the window, saved by the model.
    std::function<void(const HostSettings& before, const HostSettings& now)> edited;
    std::function<void()> applyRestart;
    std::function<void(bool captureMain)> setCaptureMain;
    std::function<void()> removeData;
    // A device was renamed or forgotten: the glyph and the panel.
    std::function<void()> devicesChanged;
  };

  SettingsModelLink(std::shared_ptr<HostSettingsStore> store, const ServingLifecycle& serving, Hooks hooks);
  SettingsModelLink(const SettingsModelLink&) = delete;
  SettingsModelLink& operator=(const SettingsModelLink&) = delete;

  // Made with `settings` on first use.
  std::shared_ptr<HostSettingsModel> model(const HostSettings& settings);
  // The owner's own change: the model saves it, and its report is dropped.
  void push(const HostSettings& settings);
  // The serving state, live mode and connected devices, where they changed.
  void sync();
  // The model's list of paired devices read again.
  void refreshPaired();

  // The paired devices, most recently seen first; none without pairing.
  static std::vector<PairedDevice> pairedList(const std::shared_ptr<PairedDevicesStore>& store);

 private:
  HostSettingsModel::Callbacks callbacks();

  const std::shared_ptr<HostSettingsStore> store_;
  const ServingLifecycle& serving_;
  Hooks hooks_;
  std::shared_ptr<HostSettingsModel> model_;
  bool pushing_ = false;
};

}  // namespace lumenrail
