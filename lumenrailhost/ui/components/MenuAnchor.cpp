#include "ui/components/MenuAnchor.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QMenu>
#include <QPointer>
#include <QScreen>
#include <QTimer>

#include <vector>

#include "app/controller/PopupPlacement.hpp"

namespace lumenrail::MenuAnchor {

namespace {

constexpr const char* kFollowerName = "lumenrail-menu-anchor";

QPoint placeFor(const QWidget& control, QSize size) {
  const QRect at(control.mapToGlobal(QPoint(0, 0)), control.size());
  const QScreen* screen = QGuiApplication::screenAt(at.center());
  if (!screen) screen = control.screen();
  if (!screen) return at.bottomLeft() + QPoint(0, 1);
  const QRect a = screen->availableGeometry();
  const auto p = PopupPlacement::menuOrigin({at.x(), at.y(), at.width(), at.height()}, size.width(),
                                            size.height(), {a.x(), a.y(), a.width(), a.height()});
  return {p.x, p.y};
}

// Lives while the menu is open; watches the control, every widget up to its
// window, and the menu itself.
class Follower final : public QObject {
 public:
  Follower(QMenu& menu, QWidget& control) : QObject(&menu), menu_(&menu), control_(&control) {
    setObjectName(kFollowerName);
    for (QWidget* w = &control; w; w = w->isWindow() ? nullptr : w->parentWidget()) {
      w->installEventFilter(this);
      watched_.push_back(w);
    }
    menu.installEventFilter(this);
    connect(&control, &QObject::destroyed, &menu, &QMenu::close);
    connect(&menu, &QMenu::aboutToHide, this, &QObject::deleteLater);
  }
  ~Follower() override {
    for (const auto& w : watched_) {
      if (w) w->removeEventFilter(this);
    }
  }
  Follower(const Follower&) = delete;
  Follower& operator=(const Follower&) = delete;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::Hide:
        if (watched != menu_) QTimer::singleShot(0, menu_, [menu = menu_] { if (menu) menu->close(); });
        break;
      case QEvent::Move:
      case QEvent::Resize:
        if (watched != menu_ || event->type() == QEvent::Resize) follow();
        break;
      case QEvent::ActionAdded:
      case QEvent::ActionChanged:
      case QEvent::ActionRemoved:
        // The menu takes its new size after the event; place it then.
        if (watched == menu_) QTimer::singleShot(0, this, [this] { follow(); });
        break;
      default: break;
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  void follow() {
    if (!menu_ || !control_ || !menu_->isVisible()) return;
    const QSize size = menu_->sizeHint();
    if (menu_->size() != size) menu_->resize(size);
    const QPoint at = placeFor(*control_, size);
    if (menu_->pos() != at) menu_->move(at);
  }

  QPointer<QMenu> menu_;
  QPointer<QWidget> control_;
  std::vector<QPointer<QWidget>> watched_;
};

}  // namespace

void open(QMenu& menu, QWidget& control) {
  if (auto* old = menu.findChild<Follower*>(kFollowerName, Qt::FindDirectChildrenOnly)) delete old;
  menu.ensurePolished();
  menu.popup(placeFor(control, menu.sizeHint()));
  new Follower(menu, control);
}

}  // namespace lumenrail::MenuAnchor
