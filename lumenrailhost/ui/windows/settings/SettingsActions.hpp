#pragma once

// The two actions the sidebar and the advanced page share.

#include <QWidget>

#include "app/windows/WindowPorts.hpp"

namespace lumenrail::SettingsActions {

// The desktop's display settings where one is known; else a message says so.
void openDisplaySettings(SettingsPorts& ports, QWidget* parent);
// The host log with the desktop's handler, or its folder while there is no log yet.
void openLog(SettingsPorts& ports);

}  // namespace lumenrail::SettingsActions
