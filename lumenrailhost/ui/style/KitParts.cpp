#include "ui/style/KitParts.hpp"

#include <QPainter>
#include <QtMath>

#include "ui/style/HostSymbols.hpp"

namespace lumenrail {

void paintRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& fill, const QColor& border,
                  double borderWidth) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(rect, radius, radius);
  if (borderWidth > 0 && border.alpha() > 0) {
    const double half = borderWidth / 2;
    painter.setPen(QPen(border, borderWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(half, half, -half, -half), radius - half, radius - half);
  }
  painter.restore();
}

KitLabel::KitLabel(const QString& text, const QFont& font, DynamicColor color, QWidget* parent)
    : QLabel(text, parent), color_(color) {
  setFont(font);
  setTextFormat(Qt::PlainText);
  // A label inherits its parent's role otherwise: ButtonText inside a tile.
  setForegroundRole(QPalette::WindowText);
  applyColor();
  connect(&Appearance::instance(), &Appearance::changed, this, &KitLabel::applyColor);
}

void KitLabel::setColor(DynamicColor color) {
  color_ = color;
  applyColor();
}

void KitLabel::applyColor() {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, color_.resolve(Appearance::current()));
  setPalette(p);
}

SymbolView::SymbolView(QString name, double size, DynamicColor color, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), size_(size), color_(color) {
  setFixedSize(sizeHint());
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void SymbolView::setColor(DynamicColor color) {
  color_ = color;
  update();
}

QSize SymbolView::sizeHint() const { return QSize(qCeil(size_ * 1.2), qCeil(size_ * 1.2)); }

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  HostSymbols::paint(p, name_, QRectF(rect()), color_.resolve(Appearance::current()));
}

}  // namespace lumenrail
