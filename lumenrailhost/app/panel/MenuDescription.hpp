#pragma once

// The classic tray menu as data: titles, enabled and checked states, the
// command each item runs and the submenus. Built afresh each time the menu
// opens; the view makes a QMenu from it.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "text/L10n.hpp"

namespace lumenrail {

// Kept out of this header so the views' meta-object compiler never reads the
// wire headers.
class HostCommands;
class PanelSource;
class ServingSessionView;
struct PairedDevice;

enum class MenuCommand {
  none,  // a line of text
  openUpdate,
  dismissClientAppUpdate,
  openAccessibilitySettings,
  openAirDropSettings,
  toggleServing,
  showQr,
  chooseExtended,
  chooseMirror,
  togglePenHighRate,
  showAbout,
  showSetup,
  showSettings,
  quit,
  setMainDevice,
  disconnectDevice,
  renameDevice,
  forgetDevice,
};

struct MenuItem {
  enum class Kind { item, separator };
  Kind kind = Kind::item;
  std::string title;
  bool enabled = false;
  std::optional<bool> checked;  // set: the item shows a check state
  bool radio = false;           // checked items next to each other that exclude each other
  MenuCommand command = MenuCommand::none;
  std::string fingerprint;  // device commands
  std::string symbol;
  std::string toolTip;
  std::string shortcut;  // "Ctrl+," style, empty for none
  std::vector<MenuItem> submenu;

  bool operator==(const MenuItem&) const = default;
};

struct MenuDescription {
  std::vector<MenuItem> items;
  bool operator==(const MenuDescription&) const = default;
};

namespace MenuBuilder {

// Relative text of a last-seen time (seconds since 1970); when not given,
// ICU's relative formatter against the wall clock.
using RelativeText = std::function<std::string(double lastSeen)>;

MenuDescription build(const PanelSource& source, const RelativeText& relative = {},
               const Localizer& texts = L10n::shared());
std::vector<MenuItem> pairedSubmenu(const PairedDevice& device, const ServingSessionView* session,
                                    const RelativeText& relative = {}, const Localizer& texts = L10n::shared());

// Runs the command an item carries; text lines and separators do nothing.
void run(const MenuItem& item, HostCommands& commands);

}  // namespace MenuBuilder

}  // namespace lumenrail
