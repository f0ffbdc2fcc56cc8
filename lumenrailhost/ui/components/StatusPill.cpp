#include "ui/components/StatusPill.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QtMath>

#include "ui/style/HostFont.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

constexpr double kPadX = 9;
constexpr double kPadY = 4;
constexpr double kDot = 7;
constexpr double kSpacing = 6;

}  // namespace

StatusPill::StatusPill(const QString& text, DynamicColor dot, QWidget* parent)
    : QWidget(parent), text_(text), dot_(dot) {
  setFont(HostFont::make(11.5, HostFont::Weight::semibold));
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  setAccessibleName(text);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

QSize StatusPill::sizeHint() const {
  const QFontMetricsF m(font());
  return QSize(qCeil(2 * kPadX + kDot + kSpacing + m.horizontalAdvance(text_)), qCeil(m.height() + 2 * kPadY));
}

void StatusPill::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const QRectF r(rect());
  paintRounded(p, r, r.height() / 2, HostStyle::bgRaised(), HostStyle::lineSoft());
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(dot_.resolve(Appearance::current()));
  p.drawEllipse(QRectF(kPadX, (r.height() - kDot) / 2, kDot, kDot));
  p.setPen(HostStyle::text());
  p.drawText(r.adjusted(kPadX + kDot + kSpacing, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text_);
}

void StatusPill::takeContent(const QWidget& fresh) {
  const auto& other = static_cast<const StatusPill&>(fresh);
  if (other.text_ == text_ && other.dot_ == dot_) return;
  text_ = other.text_;
  dot_ = other.dot_;
  updateGeometry();
  update();
}

}  // namespace lumenrail
