#pragma once

#include <memory>

#include "input/KeyboardLayoutSource.hpp"

namespace lumenrail {

namespace GnomeKeyboardLayout {

// The GNOME session's input source in use (GSettings), followed while it
// changes; the library's defaults without GNOME's schema.
std::unique_ptr<KeyboardLayoutSource> source();

}  // namespace GnomeKeyboardLayout

}  // namespace lumenrail
