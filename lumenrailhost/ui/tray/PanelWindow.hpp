#pragma once

// The panel as a window of its own, for desktops without a tray: titled
// "Lumenrail", listed by the desktop like any application window, refreshed
// once a second while shown. Closing it only hides it; serving goes on.

#include <memory>

#include <QWidget>

#include "app/panel/HostPanelModel.hpp"
#include "platform/Executor.hpp"
#include "text/L10n.hpp"

namespace lumenrail {

class HostPanelView;

class PanelWindow final : public QWidget {
  Q_OBJECT

 public:
  PanelWindow(HostPanelModel& model, std::shared_ptr<Executor> main, const Localizer& texts = L10n::shared());
  ~PanelWindow() override;

  // Shows it (again), raised and activated.
  void present();
  HostPanelView* view() const { return view_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  HostPanelModel& model_;
  std::shared_ptr<Executor> main_;
  HostPanelView* view_;
  Executor::Timer refresh_;
};

}  // namespace lumenrail
