#include "input/InputGrantWatch.hpp"

namespace lumenrail {

std::optional<InputGrantWatch::Edge> InputGrantWatch::poll(bool clientConnected) {
  if (!clientConnected) {
    if (!isBlocked_) return std::nullopt;
    isBlocked_ = false;
    return Edge::cleared;
  }
  const bool blocked = !(probe_ && probe_());
  if (blocked == isBlocked_) return std::nullopt;
  isBlocked_ = blocked;
  return blocked ? Edge::blocked : Edge::cleared;
}

}  // namespace lumenrail
