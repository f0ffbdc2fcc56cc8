#pragma once

// The tray glyph: a monitor on a stand with a tablet standing in front of
// its lower right corner, cut away 40 units around the tablet. Linux trays
// have no template images, so the glyph is drawn in the appearance's ink
// and dimmed when disabled.

#include <QIcon>
#include <QImage>
#include <QPainterPath>
#include <QRectF>

#include "ui/style/Appearance.hpp"

namespace lumenrail::MenuBarMark {

// The design box: everything is drawn in these units, y growing downwards.
inline const QRectF kDesignBox(140, 178.67, 750, 666.67);
inline constexpr const char* kAccessibleName = "Lumenrail host";
// A disabled glyph is drawn at this opacity.
inline constexpr double kDisabledOpacity = 0.35;

// Paints the glyph filling `target` (width 1.125 x height) in `color`.
void paint(QPainter& painter, const QRectF& target, const QColor& color);

// An image of (height x 18 / 16) x height logical pixels at `devicePixelRatio`,
// transparent around the glyph.
QImage image(double height, const QColor& color, double devicePixelRatio = 1.0);

// The ink of the glyph in a tray of this appearance.
QColor ink(AppearanceKind kind, bool enabled);

// The tray's glyph, square, `side` pixels. Qt cannot tell the tray's colour
// and few Linux trays recolour icons, so the glyph carries its own contrast:
// a light fill inside a dark outline reads on dark and light panels alike.
// Stopped is a mid-grey fill, not a faded one, so it never vanishes. At 16,
// 22 and 24 px and their doubles it is drawn on whole pixels.
QImage trayImage(int side, bool serving);

// The tray icon: drawn at whatever size the tray asks for, fitted into it.
QIcon icon(AppearanceKind kind);

}  // namespace lumenrail::MenuBarMark
