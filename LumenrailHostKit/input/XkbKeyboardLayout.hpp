#pragma once

#include <memory>
#include <optional>
#include <string>

#include "input/KeyboardLayoutSource.hpp"

struct xkb_keymap;

namespace lumenrail {

// Keyboard layouts through libxkbcommon.
namespace XkbKeyboardLayout {

// The map of one group of a keymap: key positions go through their evdev
// codes; the command map is the translation with Control held; characters of
// the upper levels go with the Shift and AltGr they need.
std::optional<KeyboardLayoutMap> mapFromKeymap(xkb_keymap* keymap, uint32_t group);

// The map of a layout given by RMLVO names (empty strings take the library's
// defaults, which honour the XKB_DEFAULT_* environment variables).
std::optional<KeyboardLayoutMap> mapFromNames(const std::string& layout, const std::string& variant = "",
                                              const std::string& model = "", const std::string& rules = "",
                                              const std::string& options = "");

// A fixed layout by names; never changes.
std::unique_ptr<KeyboardLayoutSource> namedSource(std::string layout, std::string variant = "");

// The X server's keymap and active group on `display` (empty: $DISPLAY),
// watched through XKB events; without an X server, the default names.
std::unique_ptr<KeyboardLayoutSource> desktopSource(const std::string& display);

}  // namespace XkbKeyboardLayout

}  // namespace lumenrail
