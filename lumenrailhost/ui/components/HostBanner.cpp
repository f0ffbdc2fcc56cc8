#include "ui/components/HostBanner.hpp"

#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#include "ui/components/HostButton.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

HostBanner::HostBanner(const QString& symbol, const QString& title, const QString& detail, std::optional<Action> action,
                       DynamicColor tint, DynamicColor tintBg, QWidget* parent)
    : QWidget(parent), tint_(tint), tintBg_(tintBg) {
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(14, 12, 14, 12);
  row->setSpacing(11);

  auto* symbolHolder = new QVBoxLayout();
  symbolHolder->setContentsMargins(0, 1, 0, 0);
  symbolHolder->addWidget(new SymbolView(symbol, 13, tint));
  symbolHolder->addStretch(1);
  row->addLayout(symbolHolder);

  auto* texts = new QVBoxLayout();
  texts->setSpacing(2);
  auto* titleLabel = new KitLabel(title, HostFont::make(12.8, HostFont::Weight::semibold), tint);
  // A long title wraps like the detail.
  titleLabel->setWordWrap(true);
  texts->addWidget(titleLabel);
  auto* detailLabel =
      new KitLabel(keepTailTogether(detail), HostFont::make(12.3), HostStyle::dynamic(HostStyle::Role::text));
  detailLabel->setWordWrap(true);
  texts->addWidget(detailLabel);
  if (action) {
    // Below the text, not beside it: a wide button left the text a sliver of the banner.
    button_ = new HostButton(action->title);
    connect(button_, &QAbstractButton::clicked, this, [run = action->run] {
      if (run) run();
    });
    texts->addSpacing(6);
    texts->addWidget(button_, 0, Qt::AlignLeft);
  }
  texts->addStretch(1);
  row->addLayout(texts, 1);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void HostBanner::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QColor border = tint_.resolve(Appearance::current());
  border.setAlphaF(border.alphaF() * 0.4f);
  paintRounded(p, QRectF(rect()), 10, tintBg_.resolve(Appearance::current()), border);
}

}  // namespace lumenrail
