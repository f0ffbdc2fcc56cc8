#pragma once

#include <QWidget>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"

namespace lumenrail {

// The settings window's connection section. Built afresh whenever the model
// publishes; what it decides lives in SettingsPages.
class ConnectionPage final : public QWidget {
  Q_OBJECT

 public:
  ConnectionPage(HostSettingsModel& model, SettingsPorts& ports, QWidget* parent = nullptr);
};

}  // namespace lumenrail
