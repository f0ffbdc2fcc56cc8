#include "text/TrayCopy.hpp"

namespace lumenrail::TrayCopy {

std::string whereHint(bool trayShown, const Localizer& texts) {
  return texts.text(trayShown ? "setup.device.menuBarHint" : "setup.device.windowHint", {L10n::kProductName});
}

MarkdownText qrSteps(bool trayShown, const Localizer& texts) {
  if (trayShown) return texts.md("setup.device.then", {texts.text("menu.showQr"), L10n::kProductName});
  return texts.md("setup.device.then.window", {L10n::kProductName});
}

}  // namespace lumenrail::TrayCopy
