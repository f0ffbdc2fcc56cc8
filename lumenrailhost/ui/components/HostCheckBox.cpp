#include "ui/components/HostCheckBox.hpp"

#include <QPainter>

#include "ui/style/FocusRing.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

constexpr int kGap = 8;

}  // namespace

HostCheckBox::HostCheckBox(const QString& text, QWidget* parent) : QCheckBox(text, parent) {
  setCursor(Qt::PointingHandCursor);
  FocusRing::attach(*this, 4, [this] { return QRectF(2, (height() - kBox) / 2.0, kBox, kBox); });
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

QSize HostCheckBox::sizeHint() const {
  const QFontMetrics m = fontMetrics();
  return QSize(kBox + kGap + m.horizontalAdvance(text()) + 4, std::max(kBox + 4, m.height()));
}

void HostCheckBox::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setOpacity(isEnabled() ? 1.0 : 0.45);
  const QRectF box(2, (height() - kBox) / 2.0, kBox, kBox);
  if (isChecked()) {
    paintRounded(p, box, 4, HostStyle::accent(), HostStyle::accent());
    HostSymbols::paint(p, "checkmark", box.adjusted(2, 2, -2, -2), HostStyle::accentInk());
  } else {
    paintRounded(p, box, 4, HostStyle::bgRaised(), HostStyle::textDim(), 1.5);
  }
  p.setPen(HostStyle::text());
  p.drawText(QRectF(box.right() + kGap, 0, width() - box.right() - kGap, height()),
             Qt::AlignLeft | Qt::AlignVCenter, text());
}

}  // namespace lumenrail
