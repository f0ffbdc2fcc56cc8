#pragma once

#include <optional>

#include "input/KeyboardLayoutMap.hpp"

namespace lumenrail {

// Where the keyboard layout comes from. Used from one thread (the key
// injector's queue) only.
class KeyboardLayoutSource {
 public:
  virtual ~KeyboardLayoutSource() = default;
  // The map of the layout in use now; nothing when it cannot be built.
  virtual std::optional<KeyboardLayoutMap> current() = 0;
  // Drains pending notifications; true when the layout may have changed
  // since the last call. Never blocks.
  virtual bool changed() = 0;
  // Whether changed() can ever report anything (worth polling).
  virtual bool watches() const = 0;
};

}  // namespace lumenrail
