#include "ui/style/FocusRing.hpp"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QWidget>

#include "ui/style/KitParts.hpp"

namespace lumenrail::FocusRing {

namespace {

constexpr const char* kShapeName = "lumenrail-focus-shape";

// Left on an attached control: its face's shape.
class Shape final : public QObject {
 public:
  Shape(QWidget& control, double radius, std::function<QRectF()> face)
      : QObject(&control), radius(radius), face(std::move(face)) {
    setObjectName(kShapeName);
  }
  const double radius;
  const std::function<QRectF()> face;
};

const Shape* shapeOf(const QWidget& control) {
  return control.findChild<Shape*>(kShapeName, Qt::FindDirectChildrenOnly);
}

// The band and the ring, around a face given in the overlay's coordinates.
class Overlay final : public QWidget {
 public:
  Overlay() {
    setObjectName("focusRing");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
    connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
  }

  void setFace(const QRectF& face, double radius) {
    face_ = face;
    radius_ = radius;
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const auto rounded = [this](double grow) {
      QPainterPath path;
      const double r = radius_ > 0 ? radius_ + grow : 0;
      path.addRoundedRect(face_.adjusted(-grow, -grow, grow, grow), r, r);
      return path;
    };
    const QPainterPath face = rounded(0), band = rounded(kGap), outer = rounded(kGap + kWidth);
    p.fillPath(outer.subtracted(band), kColor.resolve(Appearance::current()));
    p.fillPath(band.subtracted(face), HostStyle::bg());
  }

 private:
  QRectF face_;
  double radius_ = 0;
};

// Follows the focus widget of the whole application (there is one at a
// time), so one overlay serves every window.
class Tracker final : public QObject {
 public:
  static Tracker& instance() {
    static QPointer<Tracker> tracker;
    if (!tracker) tracker = new Tracker();
    return *tracker;
  }

  void follow(QWidget* target) {
    if (target_ != target) {
      if (target_) disconnect(target_, &QObject::destroyed, this, nullptr);
      target_ = target;
      if (target_) connect(target_, &QObject::destroyed, this, [this] { place(); });
    }
    place();
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::KeyPress: {
        // Tab with one stop in the window moves focus nowhere, so Qt does
        // not mark the window as driven by keys: mark it, or Tab seems dead.
        const auto* key = static_cast<QKeyEvent*>(event);
        const bool tab = key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab;
        if (tab && !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
          QMetaObject::invokeMethod(this, [this] { keysMovedFocus(); }, Qt::QueuedConnection);
        }
        break;
      }
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::Show:
      case QEvent::Hide:
      case QEvent::ParentChange:
      case QEvent::EnabledChange:
        if (target_ && watched->isWidgetType() &&
            (watched == target_ || static_cast<QWidget*>(watched)->isAncestorOf(target_))) {
          place();
        }
        break;
      default: break;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  Tracker() : QObject(qApp) {
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { follow(now); });
    qApp->installEventFilter(this);
    follow(QApplication::focusWidget());
  }

  void keysMovedFocus() {
    QWidget* focused = QApplication::focusWidget();
    if (!focused || !shapeOf(*focused)) return;
    focused->window()->setAttribute(Qt::WA_KeyboardFocusChange);
    follow(focused);
  }

  // The nearest scrolled viewport holding the target clips the ring as it
  // clips the target; elsewhere the window does.
  static QWidget* hostFor(QWidget& target) {
    QWidget* w = target.parentWidget();
    while (w && !w->isWindow()) {
      if (const auto* area = qobject_cast<QAbstractScrollArea*>(w->parentWidget()); area && area->viewport() == w) {
        return w;
      }
      w = w->parentWidget();
    }
    return w;
  }

  void place() {
    QWidget* target = target_;
    if (!target || !shapeOf(*target) || !shownAround(*target) || !target->isVisible()) {
      if (overlay_) overlay_->hide();
      return;
    }
    QWidget* host = hostFor(*target);
    if (!host) return;
    if (!overlay_) overlay_ = new Overlay();
    if (overlay_->parentWidget() != host) overlay_->setParent(host);
    const QRectF face = faceOf(*target).translated(target->mapTo(host, QPoint(0, 0)));
    const double margin = kGap + kWidth;
    const QRect box = face.adjusted(-margin, -margin, margin, margin).toAlignedRect();
    overlay_->setFace(face.translated(-box.topLeft()), shapeOf(*target)->radius);
    overlay_->setGeometry(box);
    overlay_->raise();
    overlay_->show();
  }

  QPointer<QWidget> target_;
  // Owned by the window it is in; gone with it, made again when needed.
  QPointer<Overlay> overlay_;
};

}  // namespace

void attach(QWidget& control, double radius, std::function<QRectF()> face) {
  if (const Shape* old = shapeOf(control)) delete old;
  new Shape(control, radius, std::move(face));
  Tracker::instance();
}

QRectF faceOf(const QWidget& control) {
  const Shape* shape = shapeOf(control);
  if (!shape) return {};
  return shape->face ? shape->face() : QRectF(control.rect());
}

bool shownAround(const QWidget& control) { return shapeOf(control) && control.isEnabled() && showsFocus(control); }

}  // namespace lumenrail::FocusRing
