#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumenrail {

// The GNOME session's keyboard layouts (GSettings
// org.gnome.desktop.input-sources): the configured "sources", "mru-sources"
// whose first entry is the one the user switched to, and "xkb-options".
namespace GnomeInputSources {

struct XkbLayout {
  std::string layout;
  std::string variant;
  std::string options;  // comma-separated, as XKB takes them
  bool operator==(const XkbLayout&) const = default;
};

struct Source {
  std::string type;  // "xkb", "ibus"
  std::string id;    // "de+nodeadkeys"
  bool operator==(const Source&) const = default;
};

// "de+nodeadkeys" → {"de", "nodeadkeys"}.
XkbLayout parse(const std::string& source);

// The layout in use, as GNOME Shell picks it: the most recently used source
// that is still configured, else the first configured one. An input-method
// source types through its XKB layout, taken as the next XKB source in the
// same order. Nothing when no XKB source is configured.
std::optional<XkbLayout> activeLayout(const std::vector<Source>& mru, const std::vector<Source>& sources);

// The three keys read through one GSettings object on a main context of its
// own, so change notices wait for pump() instead of a main loop the process
// may not run. Used from one thread at a time.
class Watch {
 public:
  // Nothing without the schema (GSettings would abort the process).
  static std::unique_ptr<Watch> open();
  ~Watch();
  Watch(const Watch&) = delete;
  Watch& operator=(const Watch&) = delete;

  // The layout in use now, with the session's XKB options.
  std::optional<XkbLayout> active();
  // Lets the settings backend take in changes made by other processes.
  // Never blocks.
  void pump();

 private:
  struct Impl;
  explicit Watch(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace GnomeInputSources

}  // namespace lumenrail
