#include "ui/tray/TrayStatusItem.hpp"

#include <QAction>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#include "text/L10n.hpp"
#include "ui/tray/MenuBarMark.hpp"

namespace lumenrail {

namespace {

// Trays ask for square icons at their own sizes (44: a 22 px tray at 2x).
QIcon glyph(bool serving) {
  QIcon icon;
  for (int side : {16, 22, 24, 32, 44, 48, 64, 128}) {
    icon.addPixmap(QPixmap::fromImage(MenuBarMark::trayImage(side, serving)));
  }
  return icon;
}

}  // namespace

TrayStatusItem::TrayStatusItem(Actions actions)
    : actions_(std::move(actions)), menu_(new QMenu), toggle_(menu_->addAction("")) {
  menu_->addSeparator();
  quit_ = menu_->addAction(QString::fromStdString(L10n::text("action.quit", L10n::kProductName)));
  QObject::connect(toggle_, &QAction::triggered, menu_, [this] {
    if (actions_.toggleServing) actions_.toggleServing();
  });
  QObject::connect(quit_, &QAction::triggered, menu_, [this] {
    if (actions_.quit) actions_.quit();
  });
  makeIcon();
}

void TrayStatusItem::makeIcon() {
  tray_ = new QSystemTrayIcon;
  tray_->setContextMenu(menu_);
  tray_->setToolTip(QString::fromStdString(L10n::text("app.hostName", L10n::kProductName)));
  QObject::connect(tray_, &QSystemTrayIcon::activated, tray_, [this](QSystemTrayIcon::ActivationReason reason) {
    // A right click: the tray shows the menu itself; the panel makes way.
    if (reason == QSystemTrayIcon::Context && actions_.menuOpening) actions_.menuOpening();
    if (reason != QSystemTrayIcon::Trigger) return;
    if (QGuiApplication::queryKeyboardModifiers().testFlag(Qt::ControlModifier)) {
      openMenu(QCursor::pos());
    } else if (actions_.primaryClick) {
      actions_.primaryClick();
    } else {
      menu_->popup(QCursor::pos());
    }
  });
  redraw();
  // Without a D-Bus tray Qt falls back to XEmbed, which listens to a signal
  // only its X11 platform has: elsewhere (Wayland) it would only warn. A
  // tray that turns up later docks a new icon (dock()).
  if (QGuiApplication::platformName() == QLatin1String("xcb") || QSystemTrayIcon::isSystemTrayAvailable()) {
    tray_->show();
  }
}

void TrayStatusItem::dock() {
  // Qt picks the D-Bus tray or the XEmbed one when the icon is made: a tray
  // that came later may be the other kind.
  tray_->hide();
  delete tray_;
  makeIcon();
}

TrayStatusItem::~TrayStatusItem() {
  tray_->hide();
  delete tray_;
  delete menu_;
}

void TrayStatusItem::openMenu(const QPoint& at) {
  if (actions_.menuOpening) actions_.menuOpening();
  menu_->popup(at);
}

QRect TrayStatusItem::geometry() const { return tray_->geometry(); }

void TrayStatusItem::attachMenu(std::unique_ptr<QMenu> menu) {
  tray_->setContextMenu(menu.get());
  delete menu_;
  menu_ = menu.release();
  toggle_ = nullptr;
  quit_ = nullptr;
}

bool TrayStatusItem::available() const { return QSystemTrayIcon::isSystemTrayAvailable(); }

void TrayStatusItem::show(ServingPhase phase) {
  phase_ = phase;
  redraw();
}

void TrayStatusItem::redraw() {
  tray_->setIcon(glyph(phase_ == ServingPhase::serving));
  if (!toggle_) return;
  const bool serving = phase_ == ServingPhase::serving || phase_ == ServingPhase::stopping;
  toggle_->setText(QString::fromStdString(L10n::text(serving ? "action.stopServing" : "action.startServing")));
  toggle_->setEnabled(phase_ == ServingPhase::stopped || phase_ == ServingPhase::serving);
}

}  // namespace lumenrail
