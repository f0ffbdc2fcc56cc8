#pragma once

#include <optional>
#include <string>

namespace lumenrail {

// Reads the GNOME session's keyboard layouts (GSettings
// org.gnome.desktop.input-sources "sources").
namespace GnomeInputSources {

struct XkbLayout {
  std::string layout;
  std::string variant;
  bool operator==(const XkbLayout&) const = default;
};

// The first XKB source ("de+nodeadkeys" is layout "de", variant
// "nodeadkeys"); nothing without the schema or an XKB source.
std::optional<XkbLayout> firstXkbLayout();

// "de+nodeadkeys" → {"de", "nodeadkeys"}.
XkbLayout parse(const std::string& source);

}  // namespace GnomeInputSources

}  // namespace lumenrail
