#pragma once

// The tray icon: the glyph (dimmed unless serving), the host's name as its
// tool tip and a small menu to start or stop serving and to quit. Qt shows it
// as a StatusNotifierItem where the desktop has a watcher, else embedded in
// an XEmbed tray. The owner replaces the small menu with its own; a primary
// click runs the owner's action, else opens the menu.

#include <functional>
#include <memory>

#include <QRect>

#include "app/controller/ControllerPorts.hpp"

class QMenu;
class QAction;
class QSystemTrayIcon;

namespace lumenrail {

class TrayStatusItem final : public StatusItem {
 public:
  struct Actions {
    std::function<void()> toggleServing;
    std::function<void()> quit;
    // The panel plugs in here; empty: a primary click opens the menu.
    std::function<void()> primaryClick;
    // Before the classic menu opens (the panel closes).
    std::function<void()> menuOpening;
  };

  explicit TrayStatusItem(Actions actions);
  ~TrayStatusItem() override;
  TrayStatusItem(const TrayStatusItem&) = delete;
  TrayStatusItem& operator=(const TrayStatusItem&) = delete;

  bool available() const override;
  void show(ServingPhase phase) override;
  void dock() override;

  QSystemTrayIcon* trayIcon() const { return tray_; }
  // The icon in global coordinates; empty where the tray does not tell.
  QRect geometry() const;
  // The classic menu at `at` (global), as a right click or Control-click opens it.
  void openMenu(const QPoint& at);
  // Attached for good in place of the small menu (trays that export menus
  // over D-Bus read it before the click).
  void attachMenu(std::unique_ptr<QMenu> menu);

 private:
  void redraw();
  void makeIcon();

  Actions actions_;
  ServingPhase phase_ = ServingPhase::stopped;
  QSystemTrayIcon* tray_ = nullptr;
  QMenu* menu_;
  QAction* toggle_;  // null once the owner's menu is attached
  QAction* quit_;
};

}  // namespace lumenrail
