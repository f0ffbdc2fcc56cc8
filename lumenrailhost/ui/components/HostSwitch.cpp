#include "ui/components/HostSwitch.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QVariantAnimation>

#include "ui/style/FocusRing.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

constexpr double kKnob = 14;
constexpr double kInset = 4;

// A switch reads as a check box, checked or not, that toggles on request.
class SwitchAccessible final : public QAccessibleWidget {
 public:
  explicit SwitchAccessible(HostSwitch* toggle) : QAccessibleWidget(toggle, QAccessible::CheckBox) {}
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.checkable = true;
    s.checked = static_cast<const HostSwitch*>(widget())->isOn();
    return s;
  }
  QStringList actionNames() const override { return {toggleAction()}; }
  void doAction(const QString& name) override {
    auto* toggle = static_cast<HostSwitch*>(widget());
    if (name == toggleAction() && toggle->isEnabled()) emit toggle->toggleRequested(!toggle->isOn());
  }
};

QAccessibleInterface* accessibleFor(const QString& key, QObject* object) {
  if (key != "lumenrail::HostSwitch") return nullptr;
  return new SwitchAccessible(static_cast<HostSwitch*>(object));
}

}  // namespace

HostSwitch::HostSwitch(const QString& label, bool on, QWidget* parent)
    : QWidget(parent), on_(on), knob_(on ? 1.0 : 0.0), slide_(new QVariantAnimation(this)) {
  // Before anything that speaks to assistive technology creates its interface.
  static const bool accessible = (QAccessible::installFactory(accessibleFor), true);
  (void)accessible;
  setFixedSize(sizeHint());
  setAccessibleName(label);
  setFocusPolicy(Qt::StrongFocus);
  FocusRing::attach(*this, 11, [] { return QRectF(0, 0, 40, 22); });
  setCursor(Qt::PointingHandCursor);
  slide_->setDuration(160);
  slide_->setEasingCurve(QEasingCurve::OutCubic);
  connect(slide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& v) {
    knob_ = v.toDouble();
    update();
  });
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void HostSwitch::setOn(bool on) {
  if (on == on_) return;
  on_ = on;
  QAccessible::State changed;
  changed.checked = true;
  QAccessibleStateChangeEvent event(this, changed);
  QAccessible::updateAccessibility(&event);
  slide_->stop();
  if (isVisible()) {
    slide_->setStartValue(knob_);
    slide_->setEndValue(on ? 1.0 : 0.0);
    slide_->start();
  } else {
    knob_ = on ? 1.0 : 0.0;
  }
  update();
}

void HostSwitch::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setOpacity(isEnabled() ? 1.0 : 0.45);
  const QRectF track(0, 0, 40, 22);
  paintRounded(p, track, track.height() / 2, on_ ? HostStyle::accent() : HostStyle::bgInset(),
               on_ ? HostStyle::accent() : HostStyle::line());
  if (!on_ && !isEnabled()) {
    // Faded, the off track's fill and line nearly vanish into the card
    // (1.07:1); its edge is drawn again, unfaded, in the faint ink.
    p.setOpacity(1.0);
    paintRounded(p, track, track.height() / 2, Qt::transparent, HostStyle::textFaint());
    p.setOpacity(0.45);
  }
  const double x = kInset + knob_ * (track.width() - kKnob - 2 * kInset);
  p.setPen(Qt::NoPen);
  p.setBrush(on_ ? HostStyle::accentInk() : HostStyle::textDim());
  p.drawEllipse(QRectF(x, kInset, kKnob, kKnob));
}

void HostSwitch::mousePressEvent(QMouseEvent* event) {
  event->setAccepted(isEnabled() && event->button() == Qt::LeftButton);
}

void HostSwitch::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !isEnabled()) return;
  // Only a release on the capsule counts, as with any button.
  QPainterPath capsule;
  capsule.addRoundedRect(QRectF(rect()), height() / 2.0, height() / 2.0);
  if (capsule.contains(event->position())) emit toggleRequested(!on_);
}

void HostSwitch::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Space && isEnabled()) {
    emit toggleRequested(!on_);
    return;
  }
  QWidget::keyPressEvent(event);
}

}  // namespace lumenrail
