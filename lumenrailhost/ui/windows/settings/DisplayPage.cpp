#include "ui/windows/settings/DisplayPage.hpp"

#include "app/locale/LocaleFormat.hpp"
#include "app/windows/SettingsPages.hpp"
#include "text/L10n.hpp"
#include "ui/components/ChoiceTiles.hpp"
#include "ui/components/SettingRow.hpp"
#include "ui/windows/settings/PageParts.hpp"

namespace lumenrail {

DisplayPage::DisplayPage(HostSettingsModel& model, SettingsPorts&, QWidget* parent)
    : QWidget(parent) {
  auto* column = pageColumn(this);
  auto* tiles = new ChoiceTiles(
      {{false, "rectangle.on.rectangle", qs(L10n::text("mode.extend")),
        qs(L10n::text("settings.display.extend.detail"))},
       {true, "rectangle.fill.on.rectangle.fill", qs(L10n::text("mode.mirror")),
        qs(L10n::text("settings.display.mirror.detail"))}},
      SettingsPages::mirroring(model), false);
  connect(tiles, &ChoiceTiles::selectionRequested, this,
          [&model](const QVariant& value) { SettingsPages::chooseCaptureMain(model, value.toBool()); });
  column->addWidget(tiles);

  std::vector<std::pair<QString, QVariant>> sizes;
  for (const auto& preset : SettingsPages::kResolutions) {
    sizes.emplace_back(qs(L10n::text("settings.display.resolution.value", LocaleFormat::pixels(preset.width),
                                     LocaleFormat::pixels(preset.height))),
                       QVariant::fromValue<qint64>(SettingsPages::resolutionTag(preset.width, preset.height)));
  }
  auto* size = picker(sizes, QVariant::fromValue<qint64>(SettingsPages::currentResolutionTag(model)));
  connect(size, &QComboBox::activated, this, [&model, size](int index) {
    SettingsPages::chooseResolution(model, size->itemData(index).toLongLong());
  });
  std::vector<std::pair<QString, QVariant>> rates;
  for (int64_t fps : SettingsPages::kFrameRates) {
    rates.emplace_back(qs(L10n::text("settings.display.frameRate.value", fps)), QVariant::fromValue<qint64>(fps));
  }
  auto* rate = picker(rates, QVariant::fromValue<qint64>(model.settings().fps));
  connect(rate, &QComboBox::activated, this, [&model, rate](int index) {
    model.set(&HostSettings::fps, static_cast<int64_t>(rate->itemData(index).toLongLong()));
  });
  column->addWidget(cardOf(
      {new SettingRow(qs(L10n::text("settings.display.resolution")),
                      qs(L10n::text("settings.display.resolution.desc")), false, std::nullopt, size),
       new SettingRow(qs(L10n::text("settings.display.frameRate")), qs(L10n::text("settings.display.frameRate.desc")),
                      false, std::nullopt, rate)}));
  column->addWidget(new PageNote(qs(L10n::text("settings.display.note"))));
}

}  // namespace lumenrail
