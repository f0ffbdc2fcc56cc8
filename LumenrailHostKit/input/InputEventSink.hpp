#pragma once

#include <cstdint>

#include "input/InputEvent.hpp"

namespace lumenrail {

// Where synthetic events go. Implementations are called from several
// injector queues at once and guard their own state.
class InputEventSink {
 public:
  virtual ~InputEventSink() = default;
  // False when the event could not be made for this device (it then had no
  // effect); true once it is on its way.
  virtual bool post(const InputEvent& event) = 0;
  // The modifier keys held on the desktop right now, as ModifierFlag bits.
  virtual uint64_t modifierFlags() = 0;
};

}  // namespace lumenrail
