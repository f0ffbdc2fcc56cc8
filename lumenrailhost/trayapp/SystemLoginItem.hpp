#pragma once

// This process's XDG autostart entry, as the settings window sees it.

#include "app/windows/WindowPorts.hpp"

namespace lumenrail {

class SystemLoginItem final : public LoginItemPort {
 public:
  bool available() const override;
  bool isEnabled() const override;
  std::optional<LoginItem::Note> setEnabled(bool enabled) override;
};

}  // namespace lumenrail
