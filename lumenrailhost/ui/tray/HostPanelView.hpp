#pragma once

#include <QWidget>

#include "app/panel/HostPanelModel.hpp"
#include "app/panel/PanelPresenter.hpp"

class QVBoxLayout;

namespace lumenrail {

// The tray panel: one 360-wide column that shows what the presenter makes of
// the model's state and fires the model's actions. It redraws whenever the
// model publishes a new state; it keeps no state of its own.
class HostPanelView final : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kWidth = 360;

  // Texts come from `texts` (the process's lookups unless given).
  explicit HostPanelView(HostPanelModel& model, const Localizer& texts = L10n::shared(), QWidget* parent = nullptr);

  const PanelPresentation& presentation() const { return shown_; }

 signals:
  // After every rebuild, with the new size in place.
  void rebuilt();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void rebuild();
  void fitHeight();
  void applyBackground();
  void run(PanelCommand command) const;
  QWidget* header();
  QWidget* devicesSection();
  QWidget* displaySection();
  QWidget* bottom();

  HostPanelModel& model_;
  const Localizer& texts_;
  PanelPresentation shown_;
  QVBoxLayout* outer_;
  QWidget* body_ = nullptr;
};

}  // namespace lumenrail
