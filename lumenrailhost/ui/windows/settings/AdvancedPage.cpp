#include "ui/windows/settings/AdvancedPage.hpp"

#include <QMessageBox>
#include <QPushButton>

#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/components/DialogLook.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/qt/MenuBarAlert.hpp"
#include "ui/windows/settings/PageParts.hpp"
#include "ui/windows/settings/SettingsActions.hpp"

namespace lumenrail {

namespace {

// A confirmation whose one action is destructive; true when it was chosen.
// Cancel is the default and has focus, and the destructive button never
// takes Return even when tabbed to: a reflexive Return leaves the data alone.
// Tabbed to, it shows the ring (Space presses it); Cancel keeps the default's
// fill (Return presses that).
bool confirm(QWidget* parent, const std::string& title, const std::string& message, const std::string& action) {
  QMessageBox box(parent);
  box.setText(qs(title));
  box.setInformativeText(qs(message));
  auto* destroy = box.addButton(qs(action), QMessageBox::DestructiveRole);
  destroy->setAutoDefault(false);
  DialogLook::markDanger(*destroy);
  auto* cancel = box.addButton(qs(L10n::text("action.cancel")), QMessageBox::RejectRole);
  box.setDefaultButton(cancel);
  box.setEscapeButton(cancel);
  MenuBarAlert::dress(box, MenuBarAlert::AlertMark::warning);
  box.exec();
  return box.clickedButton() == destroy;
}

}  // namespace

AdvancedPage::AdvancedPage(HostSettingsModel& model, SettingsPorts& ports, QWidget* parent)
    : QWidget(parent) {
  auto* column = pageColumn(this);
  auto* updates = new HostSwitch(qs(L10n::text("settings.advanced.updates.switch")), model.settings().checkForUpdates);
  connect(updates, &HostSwitch::toggleRequested, this,
          [&model](bool on) { model.set(&HostSettings::checkForUpdates, on); });
  auto* log = new HostButton(qs(L10n::text("settings.openLog")));
  connect(log, &QAbstractButton::clicked, this, [&ports] { SettingsActions::openLog(ports); });
  auto* reset = new HostButton(qs(L10n::text("settings.advanced.reset.button")), {false, true, false});
  connect(reset, &QAbstractButton::clicked, this, [this, &model, &ports] {
    if (confirm(window(), L10n::text("settings.advanced.reset.confirm"), L10n::text("settings.advanced.reset.message"),
                L10n::text("settings.advanced.reset.action"))) {
      SettingsPages::resetToDefaults(model, ports.loginItem.get());
    }
  });
  column->addWidget(cardOf({
      new SettingRow(qs(L10n::text("settings.advanced.updates")),
                     qs(L10n::text("settings.advanced.updates.desc", L10n::kProductName)), false, std::nullopt,
                     updates),
      new SettingRow(qs(L10n::text("settings.advanced.log")), qs(L10n::text("settings.advanced.log.desc")), false,
                     std::nullopt, log),
      new SettingRow(qs(L10n::text("settings.advanced.reset")), qs(L10n::text("settings.advanced.reset.desc")), false,
                     std::nullopt, reset),
  }));

  auto* remove = new HostButton(qs(L10n::text("settings.advanced.remove.button")), {false, true, false});
  connect(remove, &QAbstractButton::clicked, this, [this, &model] {
    if (confirm(window(), L10n::text("settings.advanced.remove.confirm", L10n::kProductName),
                L10n::text("settings.advanced.remove.message", L10n::kProductName),
                L10n::text("settings.advanced.remove.action")) &&
        model.callbacks().onRemoveData) {
      model.callbacks().onRemoveData();
    }
  });
  column->addWidget(cardOf({new SettingRow(qs(L10n::text("settings.advanced.remove", L10n::kProductName)),
                                           qs(L10n::text("settings.advanced.remove.desc")), false, std::nullopt,
                                           remove)}));
}

}  // namespace lumenrail
