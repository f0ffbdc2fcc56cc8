#pragma once

// The tray icon: the glyph (dimmed unless serving), the host's name as its
// tool tip and a small menu to start or stop serving and to quit. Qt shows it
// as a StatusNotifierItem where the desktop has a watcher, else embedded in
// an XEmbed tray. A primary click opens the same menu until the panel exists.

#include <functional>
#include <memory>

#include "ControllerPorts.hpp"

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
  };

  explicit TrayStatusItem(Actions actions);
  ~TrayStatusItem() override;
  TrayStatusItem(const TrayStatusItem&) = delete;
  TrayStatusItem& operator=(const TrayStatusItem&) = delete;

  bool available() const override;
  void show(ServingPhase phase) override;

  QSystemTrayIcon* trayIcon() const { return tray_; }

 private:
  void redraw();

  Actions actions_;
  ServingPhase phase_ = ServingPhase::stopped;
  QSystemTrayIcon* tray_;
  QMenu* menu_;
  QAction* toggle_;
  QAction* quit_;
};

}  // namespace lumenrail
