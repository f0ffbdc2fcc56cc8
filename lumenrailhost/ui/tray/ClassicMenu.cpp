#include "ui/tray/ClassicMenu.hpp"

#include <QActionGroup>
#include <QPainter>
#include <QPixmap>

#include "ui/style/HostStyle.hpp"
#include "ui/style/HostSymbols.hpp"

namespace lumenrail {

namespace {

QIcon symbolIcon(const QString& name) {
  if (!HostSymbols::has(name)) return {};
  QPixmap pixmap(32, 32);
  pixmap.setDevicePixelRatio(2);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  HostSymbols::paint(p, name, QRectF(1, 1, 14, 14), HostStyle::text());
  return QIcon(pixmap);
}

// Device names of any length: no item is wider than this; the whole title
// is the item's tooltip. A name's "&" is shown, not taken as a mnemonic.
constexpr int kMaxTitleWidth = 320;

QString titleOf(const QMenu& menu, const std::string& title) {
  return menu.fontMetrics().elidedText(QString::fromStdString(title), Qt::ElideRight, kMaxTitleWidth).replace("&", "&&");
}

// The kit's colours on the raised surface. The status lines are disabled
// items: they take the secondary text colour, which reads on the menu (the
// style's faded grey did not).
void paintKit(QMenu& menu) {
  QPalette p = Appearance::kitPalette();
  p.setColor(QPalette::Window, HostStyle::bgRaised());
  p.setColor(QPalette::Base, HostStyle::bgRaised());
  p.setColor(QPalette::Light, HostStyle::line());
  p.setColor(QPalette::Disabled, QPalette::Light, Qt::transparent);
  p.setColor(QPalette::Mid, HostStyle::line());
  p.setColor(QPalette::Dark, HostStyle::line());
  menu.setPalette(p);
}

}  // namespace

ClassicMenu::ClassicMenu(Describe describe, Run run, QWidget* parent)
    : QMenu(parent), describe_(std::move(describe)), run_(std::move(run)) {
  connect(this, &QMenu::aboutToShow, this, &ClassicMenu::rebuild);
  rebuild();
}

void ClassicMenu::rebuild() {
  if (describe_) fill(*this, describe_().items, run_);
}

void ClassicMenu::fill(QMenu& menu, const std::vector<MenuItem>& items, const Run& run) {
  // Submenus are children of the menu; clear() leaves them behind.
  for (auto* old : menu.findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly)) old->deleteLater();
  for (auto* old : menu.findChildren<QActionGroup*>(QString(), Qt::FindDirectChildrenOnly)) old->deleteLater();
  menu.clear();
  paintKit(menu);
  QActionGroup* radios = nullptr;
  for (const auto& item : items) {
    if (item.kind == MenuItem::Kind::separator || !item.radio) radios = nullptr;
    if (item.kind == MenuItem::Kind::separator) {
      menu.addSeparator();
      continue;
    }
    QAction* action = nullptr;
    if (!item.submenu.empty()) {
      auto* sub = new QMenu(titleOf(menu, item.title), &menu);
      fill(*sub, item.submenu, run);
      action = menu.addMenu(sub);
    } else {
      action = menu.addAction(titleOf(menu, item.title));
    }
    action->setEnabled(item.enabled);
    if (item.checked) {
      action->setCheckable(true);
      action->setChecked(*item.checked);
      if (item.radio) {
        if (!radios) radios = new QActionGroup(&menu);
        radios->addAction(action);
      }
    }
    if (!item.toolTip.empty()) {
      action->setToolTip(QString::fromStdString(item.toolTip));
    } else if (action->text().contains(QChar(0x2026)) && !item.title.ends_with("…")) {
      action->setToolTip(QString::fromStdString(item.title));
    }
    if (!item.symbol.empty()) action->setIcon(symbolIcon(QString::fromStdString(item.symbol)));
    if (!item.shortcut.empty()) action->setShortcut(QKeySequence(QString::fromStdString(item.shortcut)));
    if (item.command != MenuCommand::none && run) {
      QObject::connect(action, &QAction::triggered, &menu, [run, item] { run(item); });
    }
  }
  menu.setToolTipsVisible(true);
}

}  // namespace lumenrail
