#include "PanelPresenter.hpp"

#include <charconv>

#include "L10n.hpp"

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

std::string modeWord(const PanelState& s) {
  return L10n::text(s.extend ? "panel.subtitle.extended" : "panel.subtitle.mirroring");
}

}  // namespace

std::string prettyMode(const std::string& label) {
  const auto halves = piecesOf(label, '@');
  if (halves.size() != 2) return label;
  const auto rate = decimal(halves[1]);
  if (!rate) return label;
  std::vector<int64_t> sides;
  for (const auto& piece : piecesOf(halves[0], 'x')) {
    if (const auto n = decimal(piece)) sides.push_back(*n);
  }
  if (sides.size() != 2) return label;
  return L10n::text("panel.modeLabel", L10n::pixels(sides[0]), L10n::pixels(sides[1]), *rate);
}

std::string subtitle(const PanelState& s) {
  switch (s.phase) {
    case Phase::stopped:
      return L10n::text(s.usbEnabled ? "panel.subtitle.stoppedUsb" : "panel.subtitle.stopped", std::to_string(s.port));
    case Phase::starting: return L10n::text("panel.subtitle.starting");
    case Phase::serving: return L10n::text("panel.subtitle.serving", prettyMode(s.modeLabel), modeWord(s));
    case Phase::stopping: return L10n::text("status.stoppingEllipsis");
  }
  return {};
}

std::optional<std::string> servingTwoLines(const PanelState& s) {
  if (s.phase != Phase::serving) return std::nullopt;
  return prettyMode(s.modeLabel) + "\n" + modeWord(s);
}

std::string penDetail(const PanelState& s) {
  if (!s.extend) return L10n::text("panel.pen.extendOnly");
  if (s.penHighRateActive) return L10n::text("panel.pen.active", kHighPenRateHz);
  return L10n::text(s.penHighRate ? "panel.pen.armed" : "panel.pen.off");
}

std::string deviceDetail(const PanelDevice& d, bool multiple) {
  std::string line = L10n::text(d.overNetwork ? "transport.wifi" : "transport.cable");
  if (d.fingerprint) line += " · " + L10n::text("device.paired");
  if (multiple && d.isMain) line += " · " + L10n::text("device.mainDisplay");
  return line;
}

StatusForm statusForm(double oneLineWidth, double availableWidth) {
  return oneLineWidth <= availableWidth ? StatusForm::oneLine : StatusForm::twoLines;
}

std::string statusText(const PanelPresentation& p, StatusForm form) {
  if (form == StatusForm::oneLine) return p.subtitle;
  return p.servingTwoLines.value_or(p.subtitle);
}

PanelPresentation present(const PanelState& s) {
  PanelPresentation p;
  const bool serving = s.phase == Phase::serving;
  p.title = kProduct;
  p.busy = s.busy();
  p.subtitle = subtitle(s);
  p.servingTwoLines = servingTwoLines(s);

  switch (s.phase) {
    case Phase::stopped: p.pillText = L10n::text("status.stopped"), p.pillTone = PanelTone::dim; break;
    case Phase::starting: p.pillText = L10n::text("status.starting"), p.pillTone = PanelTone::warn; break;
    case Phase::serving: p.pillText = L10n::text("status.serving"), p.pillTone = PanelTone::ok; break;
    case Phase::stopping: p.pillText = L10n::text("status.stopping"), p.pillTone = PanelTone::warn; break;
  }

  if (s.inputBlocked) {
    p.banners.push_back({"hand.raised.slash.fill", L10n::text("inputBlocked.title"), L10n::text("inputBlocked.detail"),
                         L10n::text("action.openAccessibility"), PanelCommand::openAccessibilitySettings,
                         PanelTone::warn});
  }
  if (s.clientAppUpdate) {
    const std::string detail = s.clientAppUpdate->empty()
                                   ? L10n::text("clientUpdate.detail.unnamed")
                                   : L10n::text("clientUpdate.detail.named", *s.clientAppUpdate);
    p.banners.push_back({"exclamationmark.triangle.fill", L10n::text("clientUpdate.title", kProduct), detail,
                         L10n::text("action.ok"), PanelCommand::dismissClientAppUpdate, PanelTone::warn});
  }
  if (s.update) {
    p.banners.push_back({"arrow.down.circle.fill", L10n::text("panel.update.title", s.update->version),
                         L10n::text("panel.update.detail", kProduct), L10n::text("action.downloadEllipsis"),
                         PanelCommand::openUpdate, PanelTone::accent});
  }
  if (s.awdlWarning) {
    p.banners.push_back({"exclamationmark.triangle.fill", L10n::text("panel.awdl.title"),
                         L10n::text("panel.awdl.detail"), L10n::text("action.openEllipsis"),
                         PanelCommand::openAirDropSettings, PanelTone::warn});
  }

  const bool multiple = s.devices.size() >= 2;
  p.devicesLabel = multiple ? L10n::text("panel.devicesCount", static_cast<int64_t>(s.devices.size()))
                            : L10n::text("panel.devices");
  for (size_t i = 0; i < s.devices.size(); ++i) {
    const PanelDevice& d = s.devices[i];
    PanelDeviceRow row;
    row.id = d.id;
    row.name = d.name.empty() ? L10n::text("device.unnamed") : d.name;
    row.symbol = d.overNetwork ? "wifi" : "cable.connector";
    row.detail = deviceDetail(d, multiple);
    row.dividerAbove = i > 0;
    row.fingerprint = d.fingerprint;
    row.showSetMain = multiple;
    row.setMainEnabled = multiple && !d.isMain;
    p.devices.push_back(std::move(row));
  }
  p.emptyTitle = L10n::text(serving ? "panel.waiting" : "panel.noDevice");
  p.emptyDetail = L10n::text(serving ? "panel.waiting.detail" : "panel.noDevice.detail", kProduct);
  p.emptyQrTitle = L10n::text("panel.qrCode");
  p.emptyQrEnabled = serving;

  p.displayLabel = L10n::text("panel.display");
  p.extend = s.extend;
  p.tilesEnabled = !p.busy;
  p.extendTitle = L10n::text("mode.extend");
  p.extendDetail = L10n::text("panel.extend.detail");
  p.mirrorTitle = L10n::text("mode.mirror");
  p.mirrorDetail = L10n::text("panel.mirror.detail");

  p.penLabel = L10n::text("panel.pen");
  p.penDetail = penDetail(s);
  p.penOn = s.penHighRate;
  p.penEnabled = s.extend && !p.busy;

  const bool stopLabel = s.phase == Phase::serving || s.phase == Phase::stopping;
  p.startStopTitle = L10n::text(stopLabel ? "action.stopServing" : "action.startServing");
  p.startStopSymbol = stopLabel ? "stop.fill" : "play.fill";
  p.startStopProminent = s.phase == Phase::stopped;
  p.startStopEnabled = !p.busy;

  p.footer = {
      {"qrcode", L10n::text("panel.help.qr"), PanelCommand::showQr, serving},
      {"gearshape", L10n::text("panel.help.settings"), PanelCommand::showSettings, true},
      {"wand.and.stars", L10n::text("panel.help.setup"), PanelCommand::showSetup, true},
      {"info.circle", L10n::text("about.title", kProduct), PanelCommand::showAbout, true},
      {"power", L10n::text("action.quit", L10n::text("app.hostName", kProduct)), PanelCommand::quit, true},
  };
  return p;
}

}  // namespace lumenrail::PanelPresenter
