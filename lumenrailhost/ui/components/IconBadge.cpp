#include "ui/components/IconBadge.hpp"

#include <QPainter>

#include "ui/components/LiveUpdate.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

IconBadge::IconBadge(const QString& symbol, DynamicColor tint, QWidget* parent)
    : QWidget(parent), symbol_(symbol), tint_(tint) {
  setFixedSize(32, 32);
  setProperty(LiveUpdate::kKey, symbol);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void IconBadge::setSymbol(const QString& symbol) {
  if (symbol == symbol_) return;
  symbol_ = symbol;
  setProperty(LiveUpdate::kKey, symbol);
  update();
}

void IconBadge::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QColor tint = tint_.resolve(Appearance::current());
  QColor tile = tint;
  tile.setAlphaF(tint.alphaF() * 0.14f);
  paintRounded(p, QRectF(rect()), 8, tile, Qt::transparent, 0);
  // A 14-point symbol: its drawing box is a little larger than the glyph.
  HostSymbols::paint(p, symbol_, QRectF(8, 8, 16, 16), tint);
}

}  // namespace lumenrail
