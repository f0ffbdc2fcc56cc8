#include "ui/windows/settings/PairingPage.hpp"

#include <QDateTime>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QPointer>

#include "app/windows/SettingsPages.hpp"
#include "text/DeviceKindText.hpp"
#include "text/L10n.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/components/DialogLook.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/LiveUpdate.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/components/TagChip.hpp"
#include "ui/windows/settings/PageParts.hpp"

namespace lumenrail {

using HostStyle::Role;

PairingPage::PairingPage(HostSettingsModel& model, SettingsPorts&, QWidget* parent) : QWidget(parent), model_(model) {
  auto* column = pageColumn(this);
  auto* ask = new HostSwitch(qs(L10n::text("settings.pairing.ask")), model.settings().pairingEnabled);
  connect(ask, &HostSwitch::toggleRequested, this,
          [&model](bool on) { model.set(&HostSettings::pairingEnabled, on); });
  column->addWidget(cardOf({new SettingRow(qs(L10n::text("settings.pairing.ask")),
                                           qs(L10n::text("settings.pairing.ask.desc")), false, std::nullopt, ask)}));

  auto* heading = new QWidget();
  auto* headingLayout = new QVBoxLayout(heading);
  headingLayout->setContentsMargins(0, 4, 0, 0);
  headingLayout->addWidget(new SectionLabel(qs(L10n::text("settings.pairing.approved"))));
  column->addWidget(heading);

  std::vector<QWidget*> rows;
  const double now = static_cast<double>(QDateTime::currentSecsSinceEpoch());
  for (const auto& device : model.pairedDevices()) {
    auto* row = new QWidget();
    // Its buttons hold the device.
    row->setProperty(LiveUpdate::kKey, qs(device.fingerprint + "|" + device.label + "|" + device.alias.value_or("")));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(16, 12, 16, 12);
    line->setSpacing(14);
    auto* texts = new QVBoxLayout();
    texts->setSpacing(2);
    auto* name = new KitLabel(qs(device.displayName()), HostFont::make(13.5, HostFont::Weight::medium),
                              HostStyle::dynamic(Role::text));
    name->setElide(Qt::ElideRight);
    name->setToolTip(qs(device.displayName()));
    name->setObjectName("deviceName");
    texts->addWidget(name);
    if (const auto kind = DeviceKindText::label(device.deviceKind())) {
      texts->addWidget(new KitLabel(qs(*kind), HostFont::make(11.5), HostStyle::dynamic(Role::textDim)));
    }
    texts->addWidget(new KitLabel(qs(SettingsPages::deviceStatusText(model, device, now)), HostFont::make(11.5),
                                  HostStyle::dynamic(Role::textDim)));
    auto* fingerprint = new KitLabel(qs(device.fingerprint), HostFont::mono(10.5), HostStyle::dynamic(Role::textDim));
    fingerprint->setElide(Qt::ElideMiddle);
    fingerprint->setToolTip(qs(device.fingerprint));
    texts->addWidget(fingerprint);
    line->addLayout(texts, 1);
    auto* renameButton = new HostButton(qs(L10n::text("action.rename")));
    connect(renameButton, &QAbstractButton::clicked, this, [this, device] { renameDevice(device); });
    auto* forgetButton = new HostButton(qs(L10n::text("action.forget")), {false, true, false});
    connect(forgetButton, &QAbstractButton::clicked, this, [&model, fp = device.fingerprint] {
      SettingsPages::forget(model, fp);
    });
    line->addWidget(renameButton);
    line->addWidget(forgetButton);
    rows.push_back(row);
  }
  if (rows.empty()) {
    auto* none = new KitLabel(qs(L10n::text("settings.pairing.none")), HostFont::make(13),
                              HostStyle::dynamic(Role::textDim));
    none->setAlignment(Qt::AlignCenter);
    none->setContentsMargins(0, 22, 0, 22);
    rows.push_back(none);
  }
  column->addWidget(cardOf(rows));
}

void PairingPage::renameDevice(const PairedDevice& device) {
  QInputDialog dialog(window());
  dialog.setWindowTitle(qs(L10n::text("rename.title", device.displayName())));
  dialog.setLabelText(qs(L10n::text("rename.message", device.label)));
  dialog.setTextValue(qs(device.alias.value_or("")));
  dialog.setOkButtonText(qs(L10n::text("action.rename")));
  dialog.setCancelButtonText(qs(L10n::text("action.cancel")));
  if (auto* edit = dialog.findChild<QLineEdit*>()) edit->setPlaceholderText(qs(device.label));
  dialog.setPalette(Appearance::kitPalette());
  dialog.setFont(HostFont::make(13));
  DialogLook::apply(dialog);
  CloseKeys::install(dialog);
  // The page may be rebuilt while the dialog runs: reach the model, not this page.
  HostSettingsModel& model = model_;
  if (dialog.exec() == QDialog::Accepted) {
    SettingsPages::rename(model, device.fingerprint, dialog.textValue().toStdString());
  }
}

}  // namespace lumenrail
