#pragma once

// Every text of the kit in one pinned family (DejaVu Sans, fonts-dejavu-core)
// so snapshots repeat on any machine. Sizes are logical pixels, one per
// point of the designs, fractions kept.

#include <QFont>

namespace lumenrail::HostFont {

enum class Weight { regular, medium, semibold, bold };

inline constexpr const char* kFamily = "DejaVu Sans";

QFont make(double size, Weight weight = Weight::regular);
// The monospaced face of the same family (DejaVu Sans Mono), for
// addresses, ports and fingerprints.
QFont mono(double size, Weight weight = Weight::regular);
// The same with extra space between letters (pixels).
QFont kerned(double size, Weight weight, double kerning);

}  // namespace lumenrail::HostFont
