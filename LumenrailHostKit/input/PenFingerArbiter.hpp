#pragma once

#include <cstdint>

#include "input/PenMapper.hpp"

namespace lumenrail {

// Gives the pen priority over a finger acting as the left button: a pen
// press releases a finger's button and swallows the rest of that touch, and
// for a short grace after the pen lets go a new finger press is refused
// (a palm resting while writing).
struct PenFingerArbiter {
  static constexpr uint64_t graceNs = 250'000'000;

  bool fingerHeld = false;    // a finger holds the left button
  bool muted = false;         // finger mouse events are swallowed until that finger lifts
  bool penHeld = false;       // a pen holds a button
  uint64_t graceUntilNs = 0;  // a finger press before this is refused

  // `held`: whether any pen button is held after the pen's step. True when
  // the finger's left button must be released now.
  bool pen(bool held, uint64_t now);
  // Whether a finger mouse event with this action may be posted.
  bool finger(PenMapper::Action action, uint64_t now);
  void reset() { *this = PenFingerArbiter{}; }

  bool operator==(const PenFingerArbiter&) const = default;
};

}  // namespace lumenrail
