#include "ui/components/FooterButton.hpp"

#include <QPainter>

#include "ui/components/LiveUpdate.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

FooterButton::FooterButton(const QString& symbol, const QString& help, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol) {
  setToolTip(help);
  setProperty(LiveUpdate::kKey, symbol);
  setAccessibleName(help);
  setAttribute(Qt::WA_Hover);
  setCursor(Qt::PointingHandCursor);
  FocusRing::attach(*this, 6);
  setFixedSize(sizeHint());
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void FooterButton::setHovered(bool hovered) {
  hover_ = hovered;
  update();
}

void FooterButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setOpacity(faceOpacity());
  const bool active = isActive();
  if (active) paintRounded(p, QRectF(rect()), 6, HostStyle::bgRaised(), Qt::transparent, 0);
  HostSymbols::paint(p, symbol_, QRectF(7, 5, 18, 18), active ? HostStyle::accent() : HostStyle::textDim());
}

void FooterButton::enterEvent(QEnterEvent* event) {
  setHovered(true);
  QAbstractButton::enterEvent(event);
}

void FooterButton::leaveEvent(QEvent* event) {
  setHovered(false);
  QAbstractButton::leaveEvent(event);
}

}  // namespace lumenrail
