#include "app/windows/SettingsPages.hpp"

#include <unicode/listformatter.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <memory>

#include "app/locale/RelativeTime.hpp"
#include "text/L10n.hpp"

namespace lumenrail::SettingsPages {

int64_t currentResolutionTag(const HostSettingsModel& model) {
  return resolutionTag(model.settings().width, model.settings().height);
}

void chooseResolution(HostSettingsModel& model, int64_t tag) {
  for (const auto& preset : kResolutions) {
    if (resolutionTag(preset.width, preset.height) != tag) continue;
    model.set(&HostSettings::width, preset.width);
    model.set(&HostSettings::height, preset.height);
    return;
  }
}

bool mirroring(const HostSettingsModel& model) {
  return model.liveCaptureMain().value_or(model.settings().captureMain);
}

void chooseCaptureMain(HostSettingsModel& model, bool captureMain) {
  if (model.callbacks().onSetCaptureMain) {
    model.callbacks().onSetCaptureMain(captureMain);
    return;
  }
  model.set(&HostSettings::captureMain, captureMain);
}

std::optional<int64_t> parsePort(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    // Past the range either way: stop before the number overflows.
    if (value <= kMaxPort) value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

uint16_t commitPort(HostSettingsModel& model, std::string_view text) {
  if (const auto value = parsePort(text)) {
    model.set(&HostSettings::port, static_cast<uint16_t>(std::clamp(*value, kMinPort, kMaxPort)));
  }
  return model.settings().port;
}

void setLaunchAtLogin(HostSettingsModel& model, LoginItemPort& loginItem, bool enabled) {
  model.set(&HostSettings::launchAtLogin, enabled);
  model.setLoginItemNote(loginItem.setEnabled(enabled));
}

std::string openAtLoginDescription(const HostSettingsModel& model, bool available) {
  if (model.loginItemNote()) return model.loginItemNote()->text();
  return L10n::text(available ? "settings.startup.openAtLogin.desc" : "settings.startup.openAtLogin.unavailable");
}

bool relaunchOffered(const std::string& chosenLanguage, const std::string& languageAtLaunch) {
  return chosenLanguage != languageAtLaunch;
}

const std::string& launchLanguage() {
  static const std::string language = L10n::languageOverride();
  return language;
}

std::string lastSeenText(double secondsSince1970, double nowSeconds) {
  return L10n::text("device.lastSeen", RelativeTime::format(secondsSince1970, nowSeconds));
}

std::string deviceStatusText(const HostSettingsModel& model, const PairedDevice& device, double nowSeconds) {
  if (model.connectedFingerprints().count(device.fingerprint) != 0) return L10n::text("device.connected");
  return lastSeenText(device.lastSeen, nowSeconds);
}

void rename(HostSettingsModel& model, const std::string& fingerprint, const std::string& draft) {
  if (model.callbacks().onRename) model.callbacks().onRename(fingerprint, draft);
  refresh(model);
}

void forget(HostSettingsModel& model, const std::string& fingerprint) {
  if (model.callbacks().onForget) model.callbacks().onForget(fingerprint);
  refresh(model);
}

void refresh(HostSettingsModel& model) { model.setPairedDevices(model.refreshPaired()); }

void resetToDefaults(HostSettingsModel& model, LoginItemPort* loginItem) {
  const HostSettings& defaults = HostSettings::shipDefaults();
  model.setSettings(defaults);
  if (loginItem != nullptr && loginItem->available() && loginItem->isEnabled() != defaults.launchAtLogin) {
    model.setLoginItemNote(loginItem->setEnabled(defaults.launchAtLogin));
  }
}

std::string joinList(const std::vector<std::string>& items, const std::string& localeId) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::ListFormatter> formatter(
      icu::ListFormatter::createInstance(icu::Locale(localeId.c_str()), status));
  std::vector<icu::UnicodeString> parts;
  for (const auto& item : items) parts.push_back(icu::UnicodeString::fromUTF8(item));
  std::string out;
  if (formatter && U_SUCCESS(status)) {
    icu::UnicodeString joined;
    formatter->format(parts.data(), static_cast<int32_t>(parts.size()), joined, status);
    if (U_SUCCESS(status)) return joined.toUTF8String(out);
  }
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i];
  return out;
}

std::string restartDetail(const std::vector<HostSettingsModel::RestartField>& fields) {
  std::vector<std::string> texts;
  for (auto field : fields) texts.push_back(L10n::text(HostSettingsModel::bannerKey(field)));
  return L10n::text("settings.restart.detail", joinList(texts, icu::Locale::getDefault().getName()));
}

std::optional<std::vector<std::string>> displaySettingsCommand(std::string_view desktops,
                                                               const std::function<bool(const std::string&)>& has) {
  struct Known {
    std::string_view desktop;
    std::vector<std::string> command;
  };
  static const std::vector<Known> known = {
      {"GNOME", {"gnome-control-center", "display"}},  {"Unity", {"gnome-control-center", "display"}},
      {"KDE", {"systemsettings", "kcm_kscreen"}},      {"XFCE", {"xfce4-display-settings"}},
      {"MATE", {"mate-display-properties"}},           {"Cinnamon", {"cinnamon-settings", "display"}},
      {"LXQt", {"lxqt-config-monitor"}},               {"Budgie", {"gnome-control-center", "display"}},
  };
  // The variable lists the desktop's names, most specific first.
  size_t start = 0;
  while (start <= desktops.size()) {
    const size_t end = std::min(desktops.find(':', start), desktops.size());
    const std::string_view name = desktops.substr(start, end - start);
    for (const auto& k : known) {
      if (name == k.desktop && has(k.command.front())) return k.command;
    }
    start = end + 1;
  }
  // Any desktop on X: the RandR tool, when it is installed.
  if (has("arandr")) return std::vector<std::string>{"arandr"};
  return std::nullopt;
}

bool onPath(const std::string& program, const std::string& path) {
  size_t start = 0;
  while (start <= path.size()) {
    const size_t end = std::min(path.find(':', start), path.size());
    const std::string dir = path.substr(start, end - start);
    std::error_code ec;
    if (!dir.empty() && std::filesystem::is_regular_file(std::filesystem::path(dir) / program, ec)) return true;
    start = end + 1;
  }
  return false;
}

std::string logTarget(const std::string& logFile) {
  std::error_code ec;
  const std::filesystem::path file(logFile);
  return (std::filesystem::exists(file, ec) ? file : file.parent_path()).string();
}

}  // namespace lumenrail::SettingsPages
