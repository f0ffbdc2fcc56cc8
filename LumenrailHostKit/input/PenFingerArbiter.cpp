#include "input/PenFingerArbiter.hpp"

#include <limits>

namespace lumenrail {

bool PenFingerArbiter::pen(bool held, uint64_t now) {
  if (held && !penHeld) {
    penHeld = true;
    if (fingerHeld) {
      fingerHeld = false;
      muted = true;
      return true;
    }
  } else if (!held && penHeld) {
    penHeld = false;
    graceUntilNs = now > std::numeric_limits<uint64_t>::max() - graceNs ? std::numeric_limits<uint64_t>::max()
                                                                          : now + graceNs;
  }
  return false;
}

bool PenFingerArbiter::finger(PenMapper::Action action, uint64_t now) {
  if (muted) {
    if (action == PenMapper::Action::up) muted = false;
    return false;
  }
  switch (action) {
    case PenMapper::Action::up:
      fingerHeld = false;
      return true;
    case PenMapper::Action::drag:
      return true;
    case PenMapper::Action::down:
      if (penHeld || now < graceUntilNs) {
        muted = true;  // the whole touch is swallowed, up to its lift
        return false;
      }
      fingerHeld = true;
      return true;
    case PenMapper::Action::hoverMove:
    case PenMapper::Action::hoverExit:
      break;  // fingers have no hover; nothing to post
  }
  return false;
}

}  // namespace lumenrail
