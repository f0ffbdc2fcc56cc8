#pragma once

// The settings window's model: the record the user edits, saved at once on
// every real change and then reported to the owner, plus the facts the owner
// pushes in. Fields a running session only takes over at its next start are
// listed as pending while it serves. Main thread only.

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "app/controller/LoginItem.hpp"
#include "secure/PairedDevice.hpp"
#include "settings/HostSettings.hpp"
#include "settings/HostSettingsStore.hpp"

namespace lumenrail {

class HostSettingsModel final {
 public:
  enum class RestartField { resolution, frameRate, port, cableTransports, wifiEncryption, pairing };
  static constexpr std::array<RestartField, 6> allRestartFields = {
      RestartField::resolution,      RestartField::frameRate,      RestartField::port,
      RestartField::cableTransports, RestartField::wifiEncryption, RestartField::pairing};
  static std::string_view bannerKey(RestartField field);
  // The restart fields in which the two records differ, in case order.
  static std::vector<RestartField> restartFieldsBetween(const HostSettings& running, const HostSettings& edited);

  // What observers are told changed.
  enum class Published { settings, running, serving, liveCaptureMain, pairedDevices, connectedDevices, loginItemNote };

  struct Callbacks {
    std::function<void(const HostSettings& now, const HostSettings& before)> onEdit;
    std::function<void()> onApplyRestart;
    std::function<void(bool)> onSetCaptureMain;  // empty: the choice goes into `settings`
    std::function<void(const std::string& fingerprint, const std::string& alias)> onRename;
    std::function<void(const std::string& fingerprint)> onForget;
    std::function<std::vector<PairedDevice>()> refreshPaired;
    std::function<void()> onRemoveData;
  };

  HostSettingsModel(HostSettings settings, std::optional<HostSettings> running, bool serving,
                    std::shared_ptr<HostSettingsStore> store, Callbacks callbacks);
  HostSettingsModel(const HostSettingsModel&) = delete;
  HostSettingsModel& operator=(const HostSettingsModel&) = delete;

  void observe(std::function<void(Published)> observer);

  const HostSettings& settings() const { return settings_; }
  // Publishes, then saves and reports when the record differs from the one held.
  void setSettings(const HostSettings& next);
  // One field, as the pages' switches and pickers write it.
  template <typename T>
  void set(T HostSettings::*field, T value) {
    HostSettings next = settings_;
    next.*field = std::move(value);
    setSettings(next);
  }

  const std::optional<HostSettings>& running() const { return running_; }
  bool serving() const { return serving_; }
  const std::optional<bool>& liveCaptureMain() const { return liveCaptureMain_; }
  const std::vector<PairedDevice>& pairedDevices() const { return pairedDevices_; }
  // Fingerprints of the paired devices the running session serves now.
  const std::set<std::string>& connectedFingerprints() const { return connectedFingerprints_; }
  const std::optional<LoginItem::Note>& loginItemNote() const { return loginItemNote_; }
  // The owner's facts: published, never saved nor reported.
  void setRunning(std::optional<HostSettings> running);
  void setServing(bool serving);
  void setLiveCaptureMain(std::optional<bool> live);
  void setPairedDevices(std::vector<PairedDevice> devices);
  void setConnectedFingerprints(std::set<std::string> fingerprints);
  void setLoginItemNote(std::optional<LoginItem::Note> note);

  // Empty unless serving with a known running record.
  std::vector<RestartField> pendingRestartFields() const;

  const Callbacks& callbacks() const { return callbacks_; }
  std::vector<PairedDevice> refreshPaired() const;

 private:
  void publish(Published what);

  HostSettings settings_;
  std::optional<HostSettings> running_;
  bool serving_;
  std::optional<bool> liveCaptureMain_;
  std::vector<PairedDevice> pairedDevices_;
  std::set<std::string> connectedFingerprints_;
  std::optional<LoginItem::Note> loginItemNote_;
  const std::shared_ptr<HostSettingsStore> store_;
  const Callbacks callbacks_;
  std::vector<std::function<void(Published)>> observers_;
};

}  // namespace lumenrail
