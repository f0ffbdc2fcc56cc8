#pragma once

// Starting the host at login: an XDG autostart entry
// ($XDG_CONFIG_HOME/autostart/lumenrail-host.desktop) that runs the installed
// executable. Only an installed tree registers itself, since a build tree's
// binary moves and goes away. Outcomes come back as notes, never thrown.
// The caller names the entry and the executable (trayapp/SystemLoginItem for
// this process).

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumenrail::LoginItem {

struct Note {
  enum class Kind { failed, needsBundle, requiresApproval, unsupportedPlatform };
  Kind kind = Kind::failed;
  std::string message;  // `failed` only

  static Note failed(std::string message) { return {Kind::failed, std::move(message)}; }
  static Note of(Kind kind) { return {kind, {}}; }

  // For the interface, through the string tables.
  std::string text() const;
  // Fixed English words for the log.
  std::string logText() const;
  bool operator==(const Note&) const = default;
};

// What an autostart entry says about us.
struct Entry {
  std::vector<std::string> exec;  // the command, unquoted; empty without "Exec"
  bool hidden = false;            // "Hidden=true": the desktop treats it as removed
  bool operator==(const Entry&) const = default;
};

// The entry's text for `executable`; nothing when the path cannot be written
// into a desktop file (a line break in it).
std::optional<std::string> desktopEntry(const std::string& executable);
// Nothing when the text has no "[Desktop Entry]" group.
std::optional<Entry> parseEntry(std::string_view text);

// Present and not hidden. An unreadable or oversized file counts as absent.
bool isEnabled(const std::string& entryPath);

// Writes (atomically) or removes the entry; removing one that is not there
// is no error.
std::optional<Note> setEnabled(bool enabled, bool installed, const std::string& entryPath,
                               const std::string& executable);

}  // namespace lumenrail::LoginItem
