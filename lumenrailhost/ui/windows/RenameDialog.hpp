#pragma once

#include "app/windows/RenamePrompt.hpp"

namespace lumenrail {

// The rename alert: title, message and a 260 x 24 text field holding the
// current alias (the label as placeholder), placed on the primary screen
// like every alert.
class QtRenamePrompt final : public RenamePrompt {
 public:
  std::optional<std::string> ask(const Request& request) override;
};

}  // namespace lumenrail
