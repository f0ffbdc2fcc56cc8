#pragma once

// The model's desktop ports on Qt: the clipboard.

#include "app/controller/AppPorts.hpp"

namespace lumenrail {

class QtClipboard final : public Clipboard {
 public:
  bool setText(const std::string& text) override;
};

}  // namespace lumenrail
