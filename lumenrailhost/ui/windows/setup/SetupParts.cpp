#include "ui/windows/setup/SetupParts.hpp"

#include <QRegularExpression>

#include "ui/components/MarkdownView.hpp"

namespace lumenrail::SetupParts {

DynamicColor secondary(double alpha) {
  DynamicColor color = HostStyle::dynamic(HostStyle::Role::textDim);
  color.alpha = alpha;
  color.lightAlpha = alpha;
  return color;
}

KitLabel* wrapping(const QString& text, const QFont& font, DynamicColor color) {
  // A path ("/dev/uinput") is one word: no line break after its slashes.
  QString whole = keepTailTogether(text);
  whole.replace(QRegularExpression("/(?=\\S)"), QStringLiteral("/\u2060"));
  auto* label = new KitLabel(whole, font, color);
  label->setWordWrap(true);
  // Qt sizes a wrapping label for a narrower width first: keep the text at the top.
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  // As tall as its lines at the width it gets, not at the width Qt guessed.
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Minimum);
  policy.setHeightForWidth(true);
  label->setSizePolicy(policy);
  return label;
}

KitLabel* markdown(const MarkdownText& text, const QFont& font, DynamicColor color) {
  auto* label = wrapping(QString(), font, color);
  MarkdownText bound = text;
  bound.source = keepTailTogether(QString::fromStdString(text.source)).toStdString();
  MarkdownView::show(*label, bound);
  label->setOpenExternalLinks(true);
  return label;
}

}  // namespace lumenrail::SetupParts
