#pragma once

// The application's icon: the tray glyph in white on a dark rounded square,
// the drawing of resources/icons/lumenrail-host.svg. Painted, not loaded, so
// the build tree and the installed tree show the same icon and no SVG
// reader is needed; the PNG sizes installed under hicolor are made from it
// at build time.

#include <QIcon>
#include <QImage>

namespace lumenrail::AppIcon {

// The name the desktop entry gives and the icon theme files carry.
inline constexpr const char* kThemeName = "lumenrail-host";
// The sizes hicolor holds as PNG files.
inline constexpr int kPngSides[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

// A square image of `side` pixels, transparent outside the rounded square.
QImage image(int side);

// Drawn at whatever size is asked for.
QIcon icon();

}  // namespace lumenrail::AppIcon
