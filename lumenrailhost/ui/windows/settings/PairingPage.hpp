#pragma once

#include <QWidget>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"

namespace lumenrail {

// The settings window's pairing section. Built afresh whenever the model
// publishes; what it decides lives in SettingsPages.
class PairingPage final : public QWidget {
  Q_OBJECT

 public:
  PairingPage(HostSettingsModel& model, SettingsPorts& ports, QWidget* parent = nullptr);

 private:
  void renameDevice(const PairedDevice& device);

  HostSettingsModel& model_;
};

}  // namespace lumenrail
