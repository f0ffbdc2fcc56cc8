#pragma once

#include <string>

#include <QWidget>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"

namespace lumenrail {

// The settings window's startup section. Built afresh whenever the model
// publishes; what it decides lives in SettingsPages.
class StartupPage final : public QWidget {
  Q_OBJECT

 public:
  StartupPage(HostSettingsModel& model, SettingsPorts& ports, QWidget* parent = nullptr);

 private:
  // The language chosen in the picker ("" follows the system).
  std::string language_;
};

}  // namespace lumenrail
