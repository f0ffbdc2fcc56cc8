#include "ui/windows/settings/SidebarButton.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>
#include <QtMath>

#include "ui/style/FocusRing.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

// A section reads as a tab that is selected or not; the small actions under
// the sections stay buttons.
class SidebarAccessible final : public QAccessibleWidget {
 public:
  explicit SidebarAccessible(SidebarButton* button)
      : QAccessibleWidget(button, button->isSmall() ? QAccessible::Button : QAccessible::PageTab) {}
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    const auto* button = static_cast<const SidebarButton*>(widget());
    s.selectable = !button->isSmall();
    s.selected = button->isSelected();
    return s;
  }
  QStringList actionNames() const override { return {pressAction()}; }
  void doAction(const QString& name) override {
    if (name == pressAction()) static_cast<SidebarButton*>(widget())->click();
  }
};

QAccessibleInterface* accessibleFor(const QString& key, QObject* object) {
  if (key != "lumenrail::SidebarButton") return nullptr;
  return new SidebarAccessible(static_cast<SidebarButton*>(object));
}

}  // namespace

SidebarButton::SidebarButton(const QString& title, const QString& symbol, bool selected, bool small, QWidget* parent)
    : QAbstractButton(parent), symbol_(symbol), selected_(selected), small_(small) {
  // Before anything that speaks to assistive technology creates its interface.
  static const bool accessible = (QAccessible::installFactory(accessibleFor), true);
  (void)accessible;
  setText(title);
  setCursor(Qt::PointingHandCursor);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setAccessibleName(title);
  setCheckable(false);
  FocusRing::attach(*this, 7);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void SidebarButton::setSymbol(const QString& symbol) {
  symbol_ = symbol;
  update();
}

void SidebarButton::setSelected(bool selected) {
  if (selected != selected_) {
    selected_ = selected;
    QAccessible::State changed;
    changed.selected = true;
    QAccessibleStateChangeEvent event(this, changed);
    QAccessible::updateAccessibility(&event);
  }
  updateGeometry();
  update();
}

void SidebarButton::setHovered(bool hovered) {
  hover_ = hovered;
  update();
}

QFont SidebarButton::titleFont() const {
  return HostFont::make(small_ ? 12.5 : 13.5, selected_ ? HostFont::Weight::semibold : HostFont::Weight::regular);
}

QSize SidebarButton::sizeHint() const {
  const QFontMetricsF m(titleFont());
  const double padY = small_ ? 7 : 8.5;
  return QSize(qCeil(11 + 18 + 10 + m.horizontalAdvance(text()) + 11), qCeil(std::max(m.height(), 18.0) + 2 * padY));
}

void SidebarButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  QColor face = Qt::transparent;
  if (selected_) {
    face = HostStyle::accent();
    face.setAlphaF(0.16);
  } else if (hover_) {
    face = HostStyle::text();
    face.setAlphaF(0.05);
  }
  if (face.alpha() > 0) paintRounded(p, QRectF(rect()), 7, face, Qt::transparent, 0);
  const double symbolSize = small_ ? 12 : 13;
  const QRectF symbolBox(11, (height() - symbolSize * 1.15) / 2, 18, symbolSize * 1.15);
  HostSymbols::paint(p, symbol_, symbolBox, selected_ ? HostStyle::accent() : HostStyle::textDim());
  p.setFont(titleFont());
  p.setPen(selected_ || hover_ ? HostStyle::text() : HostStyle::textDim());
  p.drawText(QRectF(11 + 18 + 10, 0, width() - 39, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
}

void SidebarButton::enterEvent(QEnterEvent* event) {
  setHovered(true);
  QAbstractButton::enterEvent(event);
}

void SidebarButton::leaveEvent(QEvent* event) {
  setHovered(false);
  QAbstractButton::leaveEvent(event);
}

}  // namespace lumenrail
