#pragma once

#include <QWidget>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"

namespace lumenrail {

// The settings window's display section. Built afresh whenever the model
// publishes; what it decides lives in SettingsPages.
class DisplayPage final : public QWidget {
  Q_OBJECT

 public:
  DisplayPage(HostSettingsModel& model, SettingsPorts& ports, QWidget* parent = nullptr);
};

}  // namespace lumenrail
