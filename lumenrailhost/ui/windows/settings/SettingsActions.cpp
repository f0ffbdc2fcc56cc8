#include "ui/windows/settings/SettingsActions.hpp"

#include <QMessageBox>

#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/qt/MenuBarAlert.hpp"

namespace lumenrail::SettingsActions {

void openDisplaySettings(SettingsPorts& ports, QWidget* parent) {
  const auto command = SettingsPages::displaySettingsCommand(
      ports.desktop, [&ports](const std::string& program) { return SettingsPages::onPath(program, ports.path); });
  if (command && ports.launch && ports.launch(*command)) return;
  QMessageBox box(parent);
  box.setText(QString::fromStdString(L10n::text("settings.arrangeDisplays.unavailable")));
  MenuBarAlert::addButton(box, QString::fromStdString(L10n::text("action.ok")));
  MenuBarAlert::dress(box, MenuBarAlert::AlertMark::info);
  MenuBarAlert::runModalOnMenuBarScreen(box);
}

void openLog(SettingsPorts& ports) {
  if (ports.opener) ports.opener->open(SettingsPages::logTarget(ports.logFile), {});
}

}  // namespace lumenrail::SettingsActions
