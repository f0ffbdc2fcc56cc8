#pragma once

// The panel's snapshot of the host, the panel's actions and the live
// sections of the support report, all read from a PanelSource.

#include <functional>
#include <memory>
#include <vector>

#include "app/panel/ClientOrder.hpp"
#include "app/panel/PanelActions.hpp"
#include "app/panel/PanelSource.hpp"
#include "app/panel/PanelState.hpp"
#include "settings/SupportReport.hpp"

namespace lumenrail::PanelSnapshot {

// `order` lists the devices in the order they joined and remembers them;
// without one they are listed by socket number.
PanelState snapshot(const PanelSource& source, ClientOrder* order = nullptr);
// What the panel shows once its controller is gone.
PanelState fallback();

// "host state" and "settings".
std::vector<SupportReport::Section> supportSections(const PanelSource& source);

// Closes the panel, then runs the operation on the next turn of the main
// queue, so a window or alert opens after the panel has gone.
using ClosingRunner = std::function<void(std::function<void()> operation)>;

// Every closure holds the commands weakly and does nothing once they are gone.
PanelActions actions(std::weak_ptr<HostCommands> commands, ClosingRunner closing);

}  // namespace lumenrail::PanelSnapshot
