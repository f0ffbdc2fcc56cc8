#pragma once

// A text button in the accent colour, dimmed while pressed; the pointer
// becomes a hand over it. The About window's links and the setup steps' ones.

#include <QAbstractButton>
#include <QFontMetrics>
#include <QPainter>

#include "ui/style/Appearance.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/FocusRing.hpp"

namespace lumenrail {

class AccentLink final : public QAbstractButton {
 public:
  explicit AccentLink(const QString& title, Qt::Alignment alignment = Qt::AlignCenter) : alignment_(alignment) {
    setText(title);
    setFont(HostFont::make(12));
    setCursor(Qt::PointingHandCursor);
    FocusRing::attach(*this, 3);
    connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
  }
  QSize sizeHint() const override {
    const QFontMetrics m(font());
    return QSize(m.horizontalAdvance(text()) + 2, m.height() + 2);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setFont(font());
    QColor ink = BrandTheme::accent();
    if (isDown()) ink.setAlphaF(0.7);
    p.setPen(ink);
    p.drawText(rect(), alignment_, text());
  }

 private:
  Qt::Alignment alignment_;
};

}  // namespace lumenrail
