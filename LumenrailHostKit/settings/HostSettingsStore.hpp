#pragma once

#include <memory>

#include "platform/UserDefaults.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail {

// Where the settings record lives; holders share one store object.
class HostSettingsStore {
 public:
  virtual ~HostSettingsStore() = default;
  virtual HostSettings load() = 0;
  virtual void save(const HostSettings& settings) = 0;
};

// Keeps the record in memory only (the "--menubar" run, snapshots).
class InMemorySettingsStore final : public HostSettingsStore {
 public:
  explicit InMemorySettingsStore(HostSettings settings) : settings_(std::move(settings)) {}
  HostSettings load() override { return settings_; }
  void save(const HostSettings& settings) override { settings_ = settings; }

 private:
  HostSettings settings_;
};

// The record in the user defaults, one key per field: "host." + field name.
class UserDefaultsSettingsStore final : public HostSettingsStore {
 public:
  static constexpr const char* prefix = "host.";

  explicit UserDefaultsSettingsStore(std::shared_ptr<UserDefaults> defaults, Log::Sink log = {});
  // Every absent or unusable stored value falls back to shipDefaults; sizes
  // and rates are clamped like command-line values.
  HostSettings load() override;
  // Writes all thirteen keys at once; a failed write is reported through the log.
  void save(const HostSettings& settings) override;
  // Removes the thirteen keys.
  void reset();

 private:
  std::shared_ptr<UserDefaults> defaults_;
  Log::Sink log_;
};

}  // namespace lumenrail
