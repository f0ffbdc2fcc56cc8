#include "app/panel/HostPanelModel.hpp"

#include <utility>

namespace lumenrail {

HostPanelModel::HostPanelModel(PanelActions actions, Snapshot snapshot)
    : actions_(std::move(actions)), snapshot_(std::move(snapshot)), state_(snapshot_()) {}

void HostPanelModel::observe(std::function<void()> observer) { observers_.push_back(std::move(observer)); }

void HostPanelModel::refresh() {
  PanelState next = snapshot_();
  if (next == state_) return;
  state_ = std::move(next);
  // A copy: an observer may add another while being told.
  const auto observers = observers_;
  for (const auto& observer : observers) observer();
}

}  // namespace lumenrail
