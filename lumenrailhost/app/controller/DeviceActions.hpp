#pragma once

// What the panel and the menu do to one device, by its fingerprint: make it
// the main device, disconnect it, rename it (the owner's alias) and forget
// it. Main thread.

#include <functional>
#include <optional>
#include <string>

#include "app/panel/PanelSource.hpp"
#include "app/windows/RenamePrompt.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

class DeviceActions final {
 public:
  struct Hooks {
    // The settings window's list of paired devices is read again.
    std::function<void()> pairedChanged;
    // The panel takes a fresh snapshot.
    std::function<void()> refreshPanel;
  };

  DeviceActions(const PanelSource& source, RenamePrompt& prompt, Hooks hooks, Log::Sink log = {});

  void setMainDevice(const std::string& fingerprint);
  void disconnect(const std::string& fingerprint);
  // Revokes the pairing, ends the device's sessions, then refreshes the views.
  void forget(const std::string& fingerprint);
  void rename(const std::string& fingerprint);

 private:
  void changed();
  void warn(const std::string& what, const std::exception& error) const;

  const PanelSource& source_;
  RenamePrompt& prompt_;
  Hooks hooks_;
  Log::Sink log_;
};

}  // namespace lumenrail
