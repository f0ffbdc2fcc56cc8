#pragma once

// The second page: the two grants the host works with, each with its state
// or a button that asks for it, and what the network and the monthly
// re-confirmation mean on this system.

#include <functional>

#include <QWidget>

#include "app/windows/SetupModel.hpp"

namespace lumenrail {

class PermissionsStep final : public QWidget {
  Q_OBJECT

 public:
  // `relaunch` starts the host again (a capture grant counts only from then).
  PermissionsStep(SetupModel& model, std::function<void()> relaunch, QWidget* parent = nullptr);
};

}  // namespace lumenrail
