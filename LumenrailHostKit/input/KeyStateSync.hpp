#pragma once

#include <cstdint>
#include <set>
#include <vector>

namespace lumenrail {

// Linux applications see modifiers only as pressed modifier keys, while a key
// event of the host carries its modifiers as flags. This turns each key event
// into evdev key presses and releases: the modifier keys named by the flags
// are pressed or released around the key, and released again once no
// ordinary key is down, so no modifier is left stuck. Not thread-safe.
class KeyStateSync final {
 public:
  struct KeyAction {
    uint16_t evdevCode = 0;
    bool down = false;
    bool operator==(const KeyAction&) const = default;
  };

  // Empty for a key position without an evdev key (nothing to post).
  std::vector<KeyAction> apply(uint16_t macKeyCode, bool down, uint64_t flags);
  // Releases every key this sync pressed.
  std::vector<KeyAction> releaseEverything();

  const std::set<uint16_t>& modifiersDown() const { return modsDown_; }
  const std::set<uint16_t>& keysDown() const { return keysDown_; }

 private:
  void syncModifiers(const std::set<uint16_t>& wanted, std::vector<KeyAction>& out);

  std::set<uint16_t> modsDown_;      // evdev modifier keys pressed now
  std::set<uint16_t> explicitMods_;  // modifier keys held by their own key events
  std::set<uint16_t> keysDown_;      // ordinary keys pressed now
};

}  // namespace lumenrail
