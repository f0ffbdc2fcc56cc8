#include "ui/components/HostButton.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QtMath>

#include "ui/components/LiveUpdate.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

constexpr double kPadX = 13;
constexpr double kSymbolGap = 6;

}  // namespace

HostButton::HostButton(const QString& title, HostButtonStyle style, QWidget* parent)
    : QAbstractButton(parent), style_(style) {
  setText(title);
  setProperty(LiveUpdate::kKey, QString("%1%2%3").arg(style.prominent).arg(style.danger).arg(style.fullWidth));
  setFont(style.prominent ? HostFont::make(13, HostFont::Weight::semibold) : HostFont::make(12.5, HostFont::Weight::medium));
  setAttribute(Qt::WA_Hover);
  setCursor(Qt::PointingHandCursor);
  FocusRing::attach(*this, 7);
  setSizePolicy(style.fullWidth ? QSizePolicy::Expanding : QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void HostButton::setSymbol(const QString& name) {
  if (name == symbol_) return;
  symbol_ = name;
  updateGeometry();
  update();
}

double HostButton::faceOpacity() const {
  if (!isEnabled()) return 0.45;
  return isDown() ? 0.8 : 1.0;
}

void HostButton::setHovered(bool hovered) {
  hover_ = hovered;
  update();
}

QSize HostButton::sizeHint() const {
  const QFontMetricsF m(font());
  const double padY = style_.prominent ? 8 : 6;
  double width = m.horizontalAdvance(text()) + 2 * kPadX;
  if (HostSymbols::has(symbol_)) width += m.height() + kSymbolGap;
  return QSize(qCeil(width), qCeil(m.height() + 2 * padY));
}

void HostButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setOpacity(faceOpacity());
  const bool active = isActive();
  const QColor activeTint = style_.danger ? HostStyle::warn() : HostStyle::accent();
  QColor fill = style_.prominent ? BrandTheme::controlTint() : HostStyle::bgInset();
  if (style_.prominent && active) fill.setAlphaF(0.88f);
  QColor border = style_.prominent ? QColor(Qt::transparent) : (active ? activeTint : HostStyle::line());
  const QColor ink = style_.prominent ? QColor(Qt::white) : (active ? activeTint : HostStyle::text());
  paintRounded(p, QRectF(rect()), 7, fill, Qt::transparent, 0);
  // A destructive button says so before the pointer reaches it: the warning
  // banners' tint and a warn edge.
  if (style_.danger && !style_.prominent) {
    paintRounded(p, QRectF(rect()), 7, HostStyle::warnBg(), Qt::transparent, 0);
    if (!active) border = HostStyle::warn();
  }
  paintRounded(p, QRectF(rect()), 7, Qt::transparent, border);

  const QFontMetricsF m(font());
  const bool withSymbol = HostSymbols::has(symbol_);
  const double symbolSide = m.height() * 0.8;
  const double contentWidth = m.horizontalAdvance(text()) + (withSymbol ? symbolSide + kSymbolGap : 0);
  double x = (width() - contentWidth) / 2;
  if (withSymbol) {
    HostSymbols::paint(p, symbol_, QRectF(x, (height() - symbolSide) / 2, symbolSide, symbolSide), ink);
    x += symbolSide + kSymbolGap;
  }
  p.setPen(ink);
  p.drawText(QRectF(x, 0, width() - x, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
}

void HostButton::enterEvent(QEnterEvent* event) {
  hover_ = true;
  update();
  QAbstractButton::enterEvent(event);
}

void HostButton::leaveEvent(QEvent* event) {
  hover_ = false;
  update();
  QAbstractButton::leaveEvent(event);
}

}  // namespace lumenrail
