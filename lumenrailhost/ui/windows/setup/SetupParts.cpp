#include "ui/windows/setup/SetupParts.hpp"

#include "ui/components/MarkdownView.hpp"

namespace lumenrail::SetupParts {

DynamicColor secondary(double alpha) {
  DynamicColor color = HostStyle::dynamic(HostStyle::Role::textDim);
  color.alpha = alpha;
  color.lightAlpha = alpha;
  return color;
}

KitLabel* wrapping(const QString& text, const QFont& font, DynamicColor color) {
  auto* label = new KitLabel(text, font, color);
  label->setWordWrap(true);
  // Qt sizes a wrapping label for a narrower width first: keep the text at the top.
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  return label;
}

KitLabel* markdown(const MarkdownText& text, const QFont& font, DynamicColor color) {
  auto* label = wrapping(QString(), font, color);
  MarkdownView::show(*label, text);
  label->setOpenExternalLinks(true);
  return label;
}

}  // namespace lumenrail::SetupParts
