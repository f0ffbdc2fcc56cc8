#include "ui/windows/settings/StartupPage.hpp"

#include <QHBoxLayout>

#include "app/locale/LocaleFormat.hpp"
#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostSwitch.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/windows/settings/PageParts.hpp"

namespace lumenrail {

StartupPage::StartupPage(HostSettingsModel& model, SettingsPorts& ports, QWidget* parent)
    : QWidget(parent), language_(L10n::languageOverride()) {
  auto* column = pageColumn(this);
  const bool available = ports.loginItem && ports.loginItem->available();

  auto* login = new HostSwitch(qs(L10n::text("settings.startup.openAtLogin.switch")), model.settings().launchAtLogin);
  login->setEnabled(available);
  connect(login, &HostSwitch::toggleRequested, this, [&model, &ports](bool on) {
    if (ports.loginItem) SettingsPages::setLaunchAtLogin(model, *ports.loginItem, on);
  });
  auto* loginRow = new SettingRow(qs(L10n::text("settings.startup.openAtLogin", L10n::kProductName)),
                                  qs(SettingsPages::openAtLoginDescription(model, available)),
                                  model.loginItemNote().has_value(), std::nullopt, login);

  auto* autoStart = new HostSwitch(qs(L10n::text("settings.startup.autoStart.switch")), model.settings().autoStart);
  connect(autoStart, &HostSwitch::toggleRequested, this,
          [&model](bool on) { model.set(&HostSettings::autoStart, on); });
  auto* autoRow = new SettingRow(qs(L10n::text("settings.startup.autoStart")),
                                 qs(L10n::text("settings.startup.autoStart.desc")), false, std::nullopt, autoStart);

  auto* languageControl = new QWidget();
  auto* languageStack = new QVBoxLayout(languageControl);
  languageStack->setContentsMargins(0, 0, 0, 0);
  languageStack->setSpacing(8);
  std::vector<std::pair<QString, QVariant>> items = {
      {qs(L10n::text("settings.startup.language.system")), QString()}};
  for (const auto& language : LocaleFormat::shippedLanguages()) items.emplace_back(qs(language.name), qs(language.tag));
  auto* languages = picker(items, qs(language_));
  languageStack->addWidget(languages, 0, Qt::AlignRight);
  auto* relaunch = new HostButton(qs(L10n::text("settings.startup.language.relaunch")));
  relaunch->setVisible(SettingsPages::relaunchOffered(language_, SettingsPages::launchLanguage()));
  connect(relaunch, &QAbstractButton::clicked, this, [&ports] {
    if (ports.relaunch) ports.relaunch();
  });
  languageStack->addWidget(relaunch, 0, Qt::AlignRight);
  connect(languages, &QComboBox::activated, this, [this, languages, relaunch](int index) {
    language_ = languages->itemData(index).toString().toStdString();
    L10n::setLanguageOverride(language_);
    relaunch->setVisible(SettingsPages::relaunchOffered(language_, SettingsPages::launchLanguage()));
  });
  auto* languageRow =
      new SettingRow(qs(L10n::text("settings.startup.language")),
                     qs(L10n::text("settings.startup.language.desc", L10n::kProductName)), false, std::nullopt,
                     languageControl);

  column->addWidget(cardOf({loginRow, autoRow, languageRow}));
  column->addWidget(new PageNote(qs(L10n::text("settings.startup.note"))));
}

}  // namespace lumenrail
