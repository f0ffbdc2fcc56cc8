#include "ui/components/TagChip.hpp"

#include "ui/components/LiveUpdate.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QtMath>

#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

QFont chipFont() { return HostFont::kerned(9.5, HostFont::Weight::semibold, 0.3); }
QFont sectionFont() { return HostFont::kerned(10.5, HostFont::Weight::semibold, 0.6); }

constexpr double kChipPadX = 6;
constexpr double kChipPadY = 1.5;
constexpr double kSectionLead = 4;

}  // namespace

TagChip::TagChip(const QString& text, QWidget* parent) : QWidget(parent), text_(text.toUpper()) {
  setFont(chipFont());
  setProperty(LiveUpdate::kKey, text_);
  setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

QSize TagChip::sizeHint() const {
  const QFontMetricsF m(font());
  return QSize(qCeil(m.horizontalAdvance(text_) + 2 * kChipPadX), qCeil(m.height() + 2 * kChipPadY));
}

void TagChip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  paintRounded(p, QRectF(rect()), 4, HostStyle::bgInset(), HostStyle::line());
  p.setPen(HostStyle::textDim());
  p.drawText(QRectF(rect()), Qt::AlignCenter, text_);
}

SectionLabel::SectionLabel(const QString& text, QWidget* parent) : QWidget(parent), text_(text.toUpper()) {
  setFont(sectionFont());
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void SectionLabel::takeContent(const QWidget& fresh) {
  const QString& text = static_cast<const SectionLabel&>(fresh).text_;
  if (text == text_) return;
  text_ = text;
  updateGeometry();
  update();
}

QSize SectionLabel::sizeHint() const {
  const QFontMetricsF m(font());
  return QSize(qCeil(m.horizontalAdvance(text_) + kSectionLead), qCeil(m.height()));
}

void SectionLabel::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setPen(HostStyle::textDim());
  p.drawText(QRectF(rect()).adjusted(kSectionLead, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, text_);
}

}  // namespace lumenrail
