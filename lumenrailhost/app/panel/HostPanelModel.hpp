#pragma once

// The observable holder between the panel and its controller: the view
// reads `state()`, the controller calls `refresh()` once a second while the
// panel shows and after its own changes. An unchanged snapshot publishes
// nothing, so a still panel never redraws. Main thread only.

#include <functional>
#include <vector>

#include "app/panel/PanelActions.hpp"
#include "app/panel/PanelState.hpp"

namespace lumenrail {

class HostPanelModel final {
 public:
  using Snapshot = std::function<PanelState()>;

  // The first state is one call of `snapshot`.
  HostPanelModel(PanelActions actions, Snapshot snapshot);
  HostPanelModel(const HostPanelModel&) = delete;
  HostPanelModel& operator=(const HostPanelModel&) = delete;

  const PanelState& state() const { return state_; }
  const PanelActions& actions() const { return actions_; }

  // Observers run after each published change, with the new state in place.
  void observe(std::function<void()> observer);

  void refresh();

 private:
  const PanelActions actions_;
  const Snapshot snapshot_;
  PanelState state_;
  std::vector<std::function<void()>> observers_;
};

}  // namespace lumenrail
