#pragma once

// The application's icon: the tray glyph in white on a rounded square in the
// spectrum's colours, the drawing of resources/icons/lumenrail-host.svg.
// Painted, not loaded, so the build tree and the installed tree show the same
// icon and no SVG reader is needed; the PNG sizes installed under hicolor are
// made from it at build time.

#include <cstdint>
#include <utility>

#include <QIcon>
#include <QImage>

namespace lumenrail::AppIcon {

// The name the desktop entry gives and the icon theme files carry.
inline constexpr const char* kThemeName = "lumenrail-host";
// The plate's gradient, top left to bottom right, through the spectrum's
// first, second and fourth stops with its violet lightened: the dark violet
// and the orange are left out, so every colour of the plate keeps 3:1 against
// both the dark and the light window background.
inline constexpr std::pair<double, uint32_t> kPlateStops[] = {
    {0.0, 0x1B8FCC}, {0.35, 0x2F5ED6}, {0.68, 0x8A4FD6}, {1.0, 0xDE2F84}};
// The sizes hicolor holds as PNG files.
inline constexpr int kPngSides[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

// A square image of `side` pixels, transparent outside the rounded square.
QImage image(int side);

// Drawn at whatever size is asked for.
QIcon icon();

}  // namespace lumenrail::AppIcon
