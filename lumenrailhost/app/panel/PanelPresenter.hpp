#pragma once

// Everything the panel shows, decided from one PanelState: texts already
// looked up, which banners, rows and buttons appear, and which are enabled.
// The widgets draw this and nothing else.

#include <optional>
#include <string>
#include <vector>

#include "app/panel/PanelState.hpp"
#include "text/L10n.hpp"

namespace lumenrail {

// Palette roles the panel paints with; the view resolves them.
enum class PanelTone { dim, warn, ok, accent };

// Which PanelActions closure a control fires.
enum class PanelCommand {
  toggleServing,
  showQr,
  showSettings,
  showSetup,
  showAbout,
  quit,
  openAccessibilitySettings,
  dismissClientAppUpdate,
  openUpdate,
  openAirDropSettings,
};

struct PanelBanner {
  std::string symbol;
  std::string title;
  std::string detail;
  std::string actionTitle;
  PanelCommand action = PanelCommand::openUpdate;
  PanelTone tone = PanelTone::warn;  // warn on warnBg, or accent on accent at 0.1
  bool operator==(const PanelBanner&) const = default;
};

struct PanelDeviceRow {
  int32_t id = 0;
  std::string name;
  std::string symbol;  // "wifi" or "cable.connector"
  std::string detail;  // parts joined with " · "
  bool dividerAbove = false;
  // The action menu shows only for a device with a fingerprint.
  std::optional<std::string> fingerprint;
  bool showSetMain = false;
  bool setMainEnabled = false;
  bool operator==(const PanelDeviceRow&) const = default;
};

struct PanelFooterButton {
  std::string symbol;
  std::string help;
  PanelCommand action = PanelCommand::showSettings;
  bool enabled = true;
  bool operator==(const PanelFooterButton&) const = default;
};

struct PanelPresentation {
  std::string title;  // the product name, verbatim
  bool busy = false;
  std::string subtitle;
  std::optional<std::string> servingTwoLines;
  std::string subtitleHelp;  // the whole reason behind a short status word, as its tooltip

  std::string pillText;
  PanelTone pillTone = PanelTone::dim;

  std::vector<PanelBanner> banners;  // open to anyone, start failed, input blocked, client update, host update, AWDL

  std::string devicesLabel;
  std::vector<PanelDeviceRow> devices;
  // The empty state, when there are no devices.
  std::string emptyTitle;
  std::string emptyDetail;
  std::string emptyQrTitle;
  bool emptyQrEnabled = false;

  std::string displayLabel;
  bool extend = true;
  bool tilesEnabled = true;
  std::string extendTitle, extendDetail, mirrorTitle, mirrorDetail;

  std::string penLabel;
  std::string penDetail;
  bool penOn = false;
  bool penEnabled = true;

  std::string startStopTitle;
  std::string startStopSymbol;  // "play.fill" or "stop.fill"
  bool startStopProminent = false;
  bool startStopEnabled = true;

  std::vector<PanelFooterButton> footer;  // the flexible space sits before the last

  bool operator==(const PanelPresentation&) const = default;
};

namespace PanelPresenter {

// Texts come from `texts` (the process's lookups unless given).
PanelPresentation present(const PanelState& state, const Localizer& texts = L10n::shared());

// "1920x1080@60" in readable words; any other label comes back unchanged.
std::string prettyMode(const std::string& label, const Localizer& texts = L10n::shared());

std::string subtitle(const PanelState& state, const Localizer& texts = L10n::shared());
std::optional<std::string> servingTwoLines(const PanelState& state, const Localizer& texts = L10n::shared());
std::string penDetail(const PanelState& state, const Localizer& texts = L10n::shared());
// The detail line of a device row.
std::string deviceDetail(const PanelDevice& device, bool multiple, const Localizer& texts = L10n::shared());

// The one-line status when its text fits the width on offer, else the
// two-line form (the serving form, or the subtitle wrapped).
enum class StatusForm { oneLine, twoLines };
StatusForm statusForm(double oneLineWidth, double availableWidth);
std::string statusText(const PanelPresentation& p, StatusForm form);

}  // namespace PanelPresenter

}  // namespace lumenrail
