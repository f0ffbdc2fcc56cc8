#include "input/KeyboardLayoutMap.hpp"

#include <cwctype>

#include "input/XkbKeyboardLayout.hpp"

namespace lumenrail {

KeyboardLayoutMap::KeyboardLayoutMap(Dictionary plainMap, std::optional<Dictionary> commandMap)
    : plain(std::move(plainMap)), command(commandMap ? std::move(*commandMap) : plain) {}

std::optional<KeyboardLayoutMap> KeyboardLayoutMap::current(const std::string& display) {
  return XkbKeyboardLayout::desktopSource(display)->current();
}

KeyboardLayoutMap::Dictionary KeyboardLayoutMap::reverse(const Translate& translate) {
  Dictionary out;
  for (uint16_t code = firstKeyCode; code <= lastKeyCode; ++code) {
    const std::optional<std::u32string> text = translate(code);
    if (!text || text->size() != 1) continue;
    Character c = (*text)[0];
    if (c <= 0x10FFFF) c = static_cast<Character>(std::towlower(static_cast<wint_t>(c)));
    out.emplace(c, code);  // keeps the lowest code
  }
  return out;
}

std::optional<uint16_t> KeyboardLayoutMap::keyCode(Character character, bool commandHeld) const {
  const Dictionary& dict = commandHeld ? command : plain;
  const auto found = dict.find(character);
  if (found == dict.end()) return std::nullopt;
  return found->second;
}

std::optional<KeyboardLayoutMap::Stroke> KeyboardLayoutMap::modifiedStroke(Character character) const {
  const auto found = modified.find(character);
  if (found == modified.end()) return std::nullopt;
  return found->second;
}

}  // namespace lumenrail
