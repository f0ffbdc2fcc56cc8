#include "ui/style/HostFont.hpp"

namespace lumenrail::HostFont {

QFont make(double size, Weight weight) {
  QFont font(kFamily);
  // Point sizes are converted at the screen's logical 96 dpi; 0.75 point is one pixel.
  font.setPointSizeF(size * 0.75);
  switch (weight) {
    case Weight::regular: font.setWeight(QFont::Normal); break;
    case Weight::medium: font.setWeight(QFont::Medium); break;
    case Weight::semibold: font.setWeight(QFont::DemiBold); break;
    case Weight::bold: font.setWeight(QFont::Bold); break;
  }
  font.setHintingPreference(QFont::PreferNoHinting);
  return font;
}

QFont mono(double size, Weight weight) {
  QFont font = make(size, weight);
  font.setFamily("DejaVu Sans Mono");
  font.setStyleHint(QFont::Monospace);
  return font;
}

QFont kerned(double size, Weight weight, double kerning) {
  QFont font = make(size, weight);
  font.setLetterSpacing(QFont::AbsoluteSpacing, kerning);
  return font;
}

}  // namespace lumenrail::HostFont
