#include "app/panel/PanelPresenter.hpp"

#include <charconv>
#include <utility>

#include "app/locale/LocaleFormat.hpp"
#include "text/L10n.hpp"

namespace lumenrail::PanelPresenter {

namespace {

using Phase = PanelState::Phase;
constexpr const char* kProduct = L10n::kProductName;
constexpr int kHighPenRateHz = 240;

std::vector<std::string> piecesOf(const std::string& text, char separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(separator, start), text.size());
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

// An optional sign, then digits only.
std::optional<int64_t> decimal(const std::string& text) {
  size_t at = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) at = 1;
  if (at == text.size()) return std::nullopt;
  for (size_t i = at; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  }
  int64_t value = 0;
  const char* begin = text.data() + (text[0] == '+' ? 1 : 0);
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The table's text of `key` with its arguments.
struct Texts {
  const Localizer& l;
  template <typename... Args>
  std::string operator()(std::string_view key, const Args&... args) const {
    return l.text(key, {FormatArg(args)...});
  }
};

std::string modeWord(const PanelState& s, const Texts& t) {
  // Said where the mode is, so mirroring in place of extend is never silent.
  if (s.extendRefused) return t("panel.subtitle.extendRefused");
  return t(s.extend ? "panel.subtitle.extended" : "panel.subtitle.mirroring");
}

}  // namespace

std::string prettyMode(const std::string& label, const Localizer& l) {
  const Texts t{l};
  const auto halves = piecesOf(label, '@');
  if (halves.size() != 2) return label;
  const auto rate = decimal(halves[1]);
  if (!rate) return label;
  std::vector<int64_t> sides;
  for (const auto& piece : piecesOf(halves[0], 'x')) {
    if (const auto n = decimal(piece)) sides.push_back(*n);
  }
  if (sides.size() != 2) return label;
  return t("panel.modeLabel", LocaleFormat::pixels(sides[0]), LocaleFormat::pixels(sides[1]), *rate);
}

std::string subtitle(const PanelState& s, const Localizer& l) {
  const Texts t{l};
  switch (s.phase) {
    case Phase::stopped:
      return t(s.usbEnabled ? "panel.subtitle.stoppedUsb" : "panel.subtitle.stopped", std::to_string(s.port));
    case Phase::starting: return t("panel.subtitle.starting");
    case Phase::serving: return t("panel.subtitle.serving", prettyMode(s.modeLabel, l), modeWord(s, t));
    case Phase::stopping: return t("status.stoppingEllipsis");
  }
  return {};
}

std::optional<std::string> servingTwoLines(const PanelState& s, const Localizer& l) {
  const Texts t{l};
  if (s.phase != Phase::serving) return std::nullopt;
  return prettyMode(s.modeLabel, l) + "\n" + modeWord(s, t);
}

std::string penDetail(const PanelState& s, const Localizer& l) {
  const Texts t{l};
  if (!s.extend) return t("panel.pen.extendOnly");
  if (s.penHighRateActive) return t("panel.pen.active", kHighPenRateHz);
  return t(s.penHighRate ? "panel.pen.armed" : "panel.pen.off");
}

std::string deviceDetail(const PanelDevice& d, bool multiple, const Localizer& l) {
  const Texts t{l};
  std::string line = t(d.overNetwork ? "transport.wifi" : "transport.cable");
  if (d.fingerprint) line += " · " + t("device.paired");
  if (multiple && d.isMain) line += " · " + t("device.mainDisplay");
  return line;
}

StatusForm statusForm(double oneLineWidth, double availableWidth) {
  return oneLineWidth <= availableWidth ? StatusForm::oneLine : StatusForm::twoLines;
}

std::string statusText(const PanelPresentation& p, StatusForm form) {
  if (form == StatusForm::oneLine) return p.subtitle;
  return p.servingTwoLines.value_or(p.subtitle);
}

PanelPresentation present(const PanelState& s, const Localizer& l) {
  const Texts t{l};
  PanelPresentation p;
  const bool serving = s.phase == Phase::serving;
  p.title = kProduct;
  p.busy = s.busy();
  p.subtitle = subtitle(s, l);
  p.servingTwoLines = servingTwoLines(s, l);
  if (serving && s.extendRefused) p.subtitleHelp = t("panel.subtitle.extendRefused.help");

  static constexpr std::pair<const char*, PanelTone> kPill[] = {{"status.stopped", PanelTone::dim},
                                                                  {"status.starting", PanelTone::warn},
                                                                  {"status.serving", PanelTone::ok},
                                                                  {"status.stopping", PanelTone::warn}};
  const auto& [pillKey, pillTone] = kPill[static_cast<size_t>(s.phase)];
  p.pillText = t(pillKey);
  p.pillTone = pillTone;

  if (s.servingOpen) {
    p.banners.push_back({"exclamationmark.triangle.fill", t("panel.open.title"), t("panel.open.detail"),
                         t("menu.settings"), PanelCommand::showSettings, PanelTone::warn});
  }
  if (s.startFailure) {
    p.banners.push_back({"exclamationmark.triangle.fill", t("panel.startFailed.title"), *s.startFailure,
                         t("action.tryAgain"), PanelCommand::toggleServing, PanelTone::warn});
  }
  if (s.inputBlocked) {
    p.banners.push_back({"hand.raised.slash.fill", t("inputBlocked.title"), t("inputBlocked.detail"),
                         t("action.openAccessibility"), PanelCommand::openAccessibilitySettings,
                         PanelTone::warn});
  }
  if (s.clientAppUpdate) {
    const std::string detail = s.clientAppUpdate->empty()
                                   ? t("clientUpdate.detail.unnamed")
                                   : t("clientUpdate.detail.named", *s.clientAppUpdate);
    p.banners.push_back({"exclamationmark.triangle.fill", t("clientUpdate.title", kProduct), detail,
                         t("action.ok"), PanelCommand::dismissClientAppUpdate, PanelTone::warn});
  }
  if (s.update) {
    p.banners.push_back({"arrow.down.circle.fill", t("panel.update.title", s.update->version),
                         t("panel.update.detail", kProduct), t("action.downloadEllipsis"),
                         PanelCommand::openUpdate, PanelTone::accent});
  }
  if (s.awdlWarning) {
    p.banners.push_back({"exclamationmark.triangle.fill", t("panel.awdl.title"),
                         t("panel.awdl.detail"), t("action.openEllipsis"),
                         PanelCommand::openAirDropSettings, PanelTone::warn});
  }

  const bool multiple = s.devices.size() >= 2;
  // With none connected the heading counts what is paired, so two paired
  // devices are never "Device".
  p.devicesLabel = multiple ? t("panel.devicesCount", static_cast<int64_t>(s.devices.size()))
                   : s.devices.empty() && s.pairedCount >= 2 ? t("panel.devices.plural")
                                                             : t("panel.devices");
  for (size_t i = 0; i < s.devices.size(); ++i) {
    const PanelDevice& d = s.devices[i];
    PanelDeviceRow row;
    row.id = d.id;
    row.name = d.name.empty() ? t("device.unnamed") : d.name;
    row.symbol = d.overNetwork ? "wifi" : "cable.connector";
    row.detail = deviceDetail(d, multiple, l);
    row.dividerAbove = i > 0;
    row.fingerprint = d.fingerprint;
    row.showSetMain = multiple;
    row.setMainEnabled = multiple && !d.isMain;
    p.devices.push_back(std::move(row));
  }
  p.emptyTitle = t(serving ? "panel.waiting" : s.pairedCount > 0 ? "panel.noDevice.paired" : "panel.noDevice");
  p.emptyDetail = t(serving ? "panel.waiting.detail" : "panel.noDevice.detail", kProduct);
  p.emptyQrTitle = t("panel.qrCode");
  p.emptyQrEnabled = serving;

  p.displayLabel = t("panel.display");
  p.extend = s.extend;
  p.tilesEnabled = !p.busy;
  p.extendTitle = t("mode.extend");
  p.extendDetail = t("panel.extend.detail");
  p.mirrorTitle = t("mode.mirror");
  p.mirrorDetail = t("panel.mirror.detail");

  p.penLabel = t("panel.pen");
  p.penDetail = penDetail(s, l);
  p.penOn = s.penHighRate;
  p.penEnabled = s.extend && !p.busy;

  const bool stopLabel = s.phase == Phase::serving || s.phase == Phase::stopping;
  p.startStopTitle = t(stopLabel ? "action.stopServing" : "action.startServing");
  p.startStopSymbol = stopLabel ? "stop.fill" : "play.fill";
  p.startStopProminent = s.phase == Phase::stopped;
  p.startStopEnabled = !p.busy;

  p.footer = {
      {"qrcode", t("panel.help.qr"), PanelCommand::showQr, serving},
      {"gearshape", t("panel.help.settings"), PanelCommand::showSettings, true},
      {"wand.and.stars", t("panel.help.setup"), PanelCommand::showSetup, true},
      {"info.circle", t("about.title", kProduct), PanelCommand::showAbout, true},
      {"power", t("action.quit", t("app.hostName", kProduct)), PanelCommand::quit, true},
  };
  return p;
}

}  // namespace lumenrail::PanelPresenter
