#pragma once

// Where the user finds the application on the desktop at hand: its tray
// icon's menu, or, where the desktop has no tray, the window it shows instead.

#include <string>

#include "text/L10n.hpp"

namespace lumenrail::TrayCopy {

// "Lumenrail lives in the system tray." or where it is without one.
std::string whereHint(bool trayShown, const Localizer& texts = L10n::shared());
// How to reach the pairing QR code from there.
MarkdownText qrSteps(bool trayShown, const Localizer& texts = L10n::shared());

}  // namespace lumenrail::TrayCopy
