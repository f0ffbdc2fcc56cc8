#pragma once

// The settings window: one fixed-size window around a SettingsView. Closing
// only hides it, so the owner shows the same window (and section) again.

#include <memory>

#include <QObject>
#include <QWidget>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"
#include "ui/windows/settings/SettingsView.hpp"

namespace lumenrail {

class SettingsWindowController final : public QObject {
  Q_OBJECT

 public:
  SettingsWindowController(std::shared_ptr<HostSettingsModel> model, SettingsPorts ports, QObject* parent = nullptr);
  ~SettingsWindowController() override;

  // Brings the window to the front.
  void show();
  bool isVisible() const { return window_->isVisible(); }
  QWidget* window() const { return window_.get(); }
  SettingsView* view() const { return view_; }
  const std::shared_ptr<HostSettingsModel>& model() const { return model_; }

 private:
  std::shared_ptr<HostSettingsModel> model_;
  std::unique_ptr<QWidget> window_;
  SettingsView* view_;
};

}  // namespace lumenrail
