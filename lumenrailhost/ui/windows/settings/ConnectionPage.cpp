#include "ui/windows/settings/ConnectionPage.hpp"

#include <QLineEdit>

#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/windows/settings/PageParts.hpp"

namespace lumenrail {

namespace {

// The port field: monospaced, trailing-aligned, on the inset colour with a
// thin line. It commits when editing ends (Return or leaving the field), never
// while typing, so the steps of typing a number are never clamped and saved.
QLineEdit* portField(HostSettingsModel& model) {
  auto* field = new QLineEdit(QString::number(model.settings().port));
  field->setFont(HostFont::mono(13));
  field->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  field->setFixedWidth(96);
  FocusRing::attach(*field, 7);
  const auto paint = [field] {
    field->setStyleSheet(QString("QLineEdit { color: %1; background: %2; border: 1px solid %3; border-radius: 7px;"
                                 " padding: 5px 9px; }")
                             .arg(HostStyle::text().name(QColor::HexArgb), HostStyle::bgInset().name(QColor::HexArgb),
                                  HostStyle::line().name(QColor::HexArgb)));
  };
  paint();
  QObject::connect(&Appearance::instance(), &Appearance::changed, field, paint);
  QObject::connect(field, &QLineEdit::editingFinished, field, [&model, field] {
    const uint16_t port = SettingsPages::commitPort(model, field->text().toStdString());
    field->setText(QString::number(port));
  });
  return field;
}

}  // namespace

ConnectionPage::ConnectionPage(HostSettingsModel& model, SettingsPorts&, QWidget* parent)
    : QWidget(parent) {
  auto* column = pageColumn(this);
  const HostSettings& s = model.settings();

  auto* usb = new HostSwitch(qs(L10n::text("settings.connection.usb.switch")), s.usbEnabled);
  connect(usb, &HostSwitch::toggleRequested, this, [&model](bool on) { model.set(&HostSettings::usbEnabled, on); });
  auto* encrypt = new HostSwitch(qs(L10n::text("settings.connection.encrypt.switch")), s.secureWifi);
  connect(encrypt, &HostSwitch::toggleRequested, this,
          [&model](bool on) { model.set(&HostSettings::secureWifi, on); });
  auto* keyOnly = new HostSwitch(qs(L10n::text("settings.connection.keyOnly.switch")), s.keyOnlyLinks);
  connect(keyOnly, &HostSwitch::toggleRequested, this,
          [&model](bool on) { model.set(&HostSettings::keyOnlyLinks, on); });
  std::vector<std::pair<QString, QVariant>> notices = {
      {qs(L10n::text("settings.connection.notice.wifi")), static_cast<int>(ConnectNotice::wifiOnly)},
      {qs(L10n::text("settings.connection.notice.always")), static_cast<int>(ConnectNotice::always)},
      {qs(L10n::text("settings.connection.notice.off")), static_cast<int>(ConnectNotice::off)}};
  auto* notice = picker(notices, static_cast<int>(s.connectNotice));
  connect(notice, &QComboBox::activated, this, [&model, notice](int index) {
    model.set(&HostSettings::connectNotice, static_cast<ConnectNotice>(notice->itemData(index).toInt()));
  });

  column->addWidget(cardOf({
      new SettingRow(qs(L10n::text("settings.connection.usb")), qs(L10n::text("settings.connection.usb.desc")), false,
                     std::nullopt, usb),
      new SettingRow(qs(L10n::text("settings.connection.encrypt")),
                     qs(L10n::text(s.secureWifi ? "settings.connection.encrypt.on" : "settings.connection.encrypt.off")),
                     !s.secureWifi, std::nullopt, encrypt),
      // What a key-only link allows, said where it is turned on.
      new SettingRow(qs(L10n::text("settings.connection.keyOnly")),
                     qs(L10n::text(s.keyOnlyLinks ? "settings.connection.keyOnly.on" : "settings.connection.keyOnly.off")),
                     s.keyOnlyLinks, std::nullopt, keyOnly),
      new SettingRow(qs(L10n::text("settings.connection.port")),
                     qs(L10n::text("settings.connection.port.desc", std::to_string(SettingsPages::kDefaultPort))),
                     false, std::nullopt, portField(model)),
      new SettingRow(qs(L10n::text("settings.connection.notice")), qs(L10n::text("settings.connection.notice.desc")),
                     false, qs(L10n::text("settings.tag.live")), notice),
  }));
  column->addWidget(new PageNote(qs(L10n::text("settings.connection.note"))));
}

}  // namespace lumenrail
