#pragma once

// The model's desktop ports on Qt: the clipboard and main-loop timers.

#include "AppPorts.hpp"

namespace lumenrail {

class QtClipboard final : public Clipboard {
 public:
  bool setText(const std::string& text) override;
};

// Repeating QTimers on the calling (GUI) thread.
TimerFactory qtTimers();

}  // namespace lumenrail
