#include "ui/windows/settings/PenPage.hpp"

#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/windows/settings/PageParts.hpp"

namespace lumenrail {

PenPage::PenPage(HostSettingsModel& model, SettingsPorts&, QWidget* parent)
    : QWidget(parent) {
  auto* column = pageColumn(this);
  // The high rate only works on the extended desktop.
  const bool mirror = SettingsPages::mirroring(model);
  auto* toggle = new HostSwitch(qs(L10n::text("pen.highRateMode")), model.settings().penHighRate);
  toggle->setEnabled(!mirror);
  connect(toggle, &HostSwitch::toggleRequested, this,
          [&model](bool on) { model.set(&HostSettings::penHighRate, on); });
  const std::string desc =
      mirror ? L10n::text("settings.pen.extendOnly") : L10n::text("settings.pen.desc", L10n::kProductName);
  column->addWidget(cardOf({new SettingRow(qs(L10n::text("pen.highRateMode")), qs(desc), false,
                                           qs(L10n::text("settings.tag.live")), toggle)}));
  column->addWidget(new PageNote(qs(L10n::text("settings.pen.note"))));
}

}  // namespace lumenrail
