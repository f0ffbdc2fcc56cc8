#include "ui/components/HostCard.hpp"

#include <QPainter>

#include "ui/style/KitParts.hpp"

namespace lumenrail {

HostCard::HostCard(QWidget* parent) : QWidget(parent), layout_(new QVBoxLayout(this)) {
  layout_->setContentsMargins(0, 0, 0, 0);
  layout_->setSpacing(0);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void HostCard::addContent(QWidget* content) { layout_->addWidget(content); }

void HostCard::paintEvent(QPaintEvent*) {
  QPainter p(this);
  paintRounded(p, QRectF(rect()), 10, HostStyle::bgRaised(), HostStyle::lineSoft());
}

RowDivider::RowDivider(QWidget* parent) : QWidget(parent) {
  setFixedHeight(1);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void RowDivider::paintEvent(QPaintEvent*) { QPainter(this).fillRect(rect(), HostStyle::lineSoft()); }

}  // namespace lumenrail
