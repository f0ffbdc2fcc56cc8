#include "input/KeyStateSync.hpp"

#include <linux/input-event-codes.h>

#include <array>

#include "input/InputEvent.hpp"
#include "input/MacKeyCodes.hpp"

namespace lumenrail {

namespace {

// Ordered as the modifier keys of a chord are pressed.
constexpr std::array<std::pair<uint64_t, uint16_t>, 5> kFlagKeys{{
    {ModifierFlag::command, KEY_LEFTCTRL},
    {ModifierFlag::shift, KEY_LEFTSHIFT},
    {ModifierFlag::alternate, KEY_LEFTALT},
    {ModifierFlag::control, KEY_LEFTMETA},
    {ModifierFlag::altGraph, KEY_RIGHTALT},
}};

std::set<uint16_t> keysForFlags(uint64_t flags) {
  std::set<uint16_t> keys;
  for (const auto& [flag, key] : kFlagKeys) {
    if (flags & flag) keys.insert(key);
  }
  return keys;
}

}  // namespace

void KeyStateSync::syncModifiers(const std::set<uint16_t>& wanted, std::vector<KeyAction>& out) {
  for (auto it = kFlagKeys.rbegin(); it != kFlagKeys.rend(); ++it) {
    const uint16_t key = it->second;
    if (modsDown_.contains(key) && !wanted.contains(key)) {
      modsDown_.erase(key);
      out.push_back({key, false});
    }
  }
  for (const auto& [flag, key] : kFlagKeys) {
    if (wanted.contains(key) && !modsDown_.contains(key)) {
      modsDown_.insert(key);
      out.push_back({key, true});
    }
  }
}

std::vector<KeyStateSync::KeyAction> KeyStateSync::apply(uint16_t macKeyCode, bool down, uint64_t flags) {
  std::vector<KeyAction> out;
  const std::optional<uint16_t> code = MacKeyCodes::toEvdev(macKeyCode);
  if (!code) return out;

  if (MacKeyCodes::isModifier(macKeyCode)) {
    if (down) {
      explicitMods_.insert(*code);
    } else {
      explicitMods_.erase(*code);
    }
    std::set<uint16_t> wanted = keysForFlags(flags);
    wanted.insert(explicitMods_.begin(), explicitMods_.end());
    if (!down) wanted.erase(*code);
    syncModifiers(wanted, out);
    return out;
  }

  syncModifiers(keysForFlags(flags), out);
  out.push_back({*code, down});
  if (down) {
    keysDown_.insert(*code);
  } else {
    keysDown_.erase(*code);
    if (keysDown_.empty()) syncModifiers(explicitMods_, out);
  }
  return out;
}

std::vector<KeyStateSync::KeyAction> KeyStateSync::releaseEverything() {
  std::vector<KeyAction> out;
  for (const uint16_t key : keysDown_) out.push_back({key, false});
  keysDown_.clear();
  explicitMods_.clear();
  syncModifiers({}, out);
  return out;
}

}  // namespace lumenrail
