#include "ui/components/HostPicker.hpp"

#include <QPainter>

#include "ui/style/HostStyle.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

HostPicker::HostPicker(QWidget* parent) : QComboBox(parent) {
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void HostPicker::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setOpacity(isEnabled() ? 1.0 : 0.45);
  const QRectF face = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  paintRounded(p, face, 7, HostStyle::bgRaised(), HostStyle::line());
  if (showsFocus(*this)) paintFocusRing(p, QRectF(rect()), 7);
  constexpr int kChevron = 22;
  p.setPen(HostStyle::text());
  const QRect textBox = rect().adjusted(10, 0, -kChevron, 0);
  p.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter,
             fontMetrics().elidedText(currentText(), Qt::ElideRight, textBox.width()));
  QPen pen(HostStyle::textDim(), 1.6);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  const QPointF mid(width() - kChevron / 2.0 - 2, height() / 2.0);
  p.drawPolyline(QPolygonF({mid + QPointF(-3, -1.8), mid + QPointF(0, -4.8), mid + QPointF(3, -1.8)}));
  p.drawPolyline(QPolygonF({mid + QPointF(-3, 1.8), mid + QPointF(0, 4.8), mid + QPointF(3, 1.8)}));
}

}  // namespace lumenrail
