#pragma once

// Keyboard focus drawn outside the control, so it shows on any fill and any
// background: a band in the window's background colour around the control's
// face, then a ring in a colour far from every fill and surface of the kit
// (near-black in light, near-white in dark). It is drawn by one overlay that
// follows the focused control, not by the control: a ring inside the face
// disappears on an accent fill, and one in the accent reads as selection.

#include <functional>

#include <QRectF>

#include "ui/style/HostStyle.hpp"

class QWidget;

namespace lumenrail::FocusRing {

// Band, then ring, each this wide (pixels) around the face.
inline constexpr double kGap = 2;
inline constexpr double kWidth = 2;
// At least 3:1 against the accent fill, the kit's surfaces and the band.
inline constexpr DynamicColor kColor{0xF6EEF6, 0x08000E, 1.0, std::nullopt};

// `control` shows the ring while the keys brought focus to it. `radius` is
// its face's corner radius; `face` gives the face in the control's own
// coordinates when it is not the whole rectangle.
void attach(QWidget& control, double radius, std::function<QRectF()> face = {});

// The face of an attached control in its own coordinates (empty when the
// control is not attached), and whether the ring shows around it now.
QRectF faceOf(const QWidget& control);
bool shownAround(const QWidget& control);

}  // namespace lumenrail::FocusRing
