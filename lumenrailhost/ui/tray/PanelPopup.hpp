#pragma once

// The tray panel as a frameless popup window: opened under the tray icon (or
// at the pointer when the tray gives no geometry), kept on the screen,
// refreshed once a second while open. A click outside closes it, as popups
// do; when that click was on the tray icon, the icon's own activation that
// follows must not open it again at once, so `toggle()` ignores an opening
// that comes right after such a dismissal. A right click or Control-click
// there closes it and asks for the classic menu instead.

#include <functional>
#include <memory>

#include <QRect>
#include <QWidget>

#include "app/controller/AppPorts.hpp"
#include "app/panel/HostPanelModel.hpp"
#include "platform/Clock.hpp"
#include "text/L10n.hpp"

namespace lumenrail {

class HostPanelView;

class PanelPopup final : public QWidget {
  Q_OBJECT

 public:
  static constexpr uint64_t kRefreshNs = kNsPerSecond;
  // An outside press this recent swallows the next opening.
  static constexpr uint64_t kReopenGuardNs = 400 * kNsPerMs;

  // `main` refreshes the open panel and times the reopening guard.
  PanelPopup(HostPanelModel& model, std::shared_ptr<Executor> main, const Localizer& texts = L10n::shared());
  ~PanelPopup() override;

  // `icon` in global coordinates; an empty rectangle opens at the pointer.
  void open(const QRect& icon);
  void openAt(const QPoint& point);
  // Open: closes. Closed: opens under `icon`, unless an outside press has
  // just closed the panel (that press was the click on the icon).
  void toggle(const QRect& icon);
  bool isOpen() const { return isVisible(); }

  // For the panel's closing actions: closes, then runs `operation` on the
  // next turn of the main loop.
  void runClosing(std::function<void()> operation);

  HostPanelView* view() const { return view_; }

 signals:
  // A right click or a Control-click on the tray icon while the panel is
  // open: the panel has closed and the classic menu should open at `at`.
  void menuRequested(QPoint at);

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;

 private:
  void place();

  HostPanelModel& model_;
  std::shared_ptr<Executor> main_;
  HostPanelView* view_;
  Executor::Timer refresh_;
  QRect anchor_;
  bool dismissedByPress_ = false;
  uint64_t dismissedAtNs_ = 0;
};

}  // namespace lumenrail
