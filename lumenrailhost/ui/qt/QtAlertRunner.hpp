#pragma once

// Modal alerts as message boxes placed on the primary screen. Each alert is
// its own box, so ending one from outside never closes another that sits
// above or below it.

#include "ports/Alerts.hpp"

namespace lumenrail {

class QtAlertRunner final : public AlertRunner {
 public:
  std::shared_ptr<ModalAlert> make(const Content& content) override;
};

}  // namespace lumenrail
