#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace lumenrail {

// Which key position (US ANSI position code, see MacKeyCodes) types each
// character on the current keyboard layout, with no modifier and with the
// shortcut modifier held (Control on Linux).
struct KeyboardLayoutMap {
  using Character = char32_t;
  using Dictionary = std::map<Character, uint16_t>;
  // Typed text of a key position, nothing for none (dead keys included).
  using Translate = std::function<std::optional<std::u32string>(uint16_t keyCode)>;
  // A key position with the modifiers (ModifierFlag bits) that must be held
  // for it to type a character.
  struct Stroke {
    uint16_t keyCode = 0;
    uint64_t flags = 0;
    bool operator==(const Stroke&) const = default;
  };
  using StrokeDictionary = std::map<Character, Stroke>;

  static constexpr uint16_t firstKeyCode = 0;
  static constexpr uint16_t lastKeyCode = 50;

  Dictionary plain;
  Dictionary command;
  // Characters that no key types unmodified, with the Shift and AltGr
  // combination that types them (German "/" is Shift+7).
  StrokeDictionary modified;

  KeyboardLayoutMap() = default;
  explicit KeyboardLayoutMap(Dictionary plainMap, std::optional<Dictionary> commandMap = std::nullopt);

  // The map of the X server's current keymap and group on `display` (empty:
  // $DISPLAY); without an X server, of the default layout names. Nothing
  // when no map can be built.
  static std::optional<KeyboardLayoutMap> current(const std::string& display = "");

  // Key codes 0 ... 50 in order; the lowest code typing a character wins;
  // texts are lower-cased and must be exactly one character.
  static Dictionary reverse(const Translate& translate);

  std::optional<uint16_t> keyCode(Character character, bool commandHeld) const;
  std::optional<Stroke> modifiedStroke(Character character) const;

  bool operator==(const KeyboardLayoutMap&) const = default;
};

}  // namespace lumenrail
