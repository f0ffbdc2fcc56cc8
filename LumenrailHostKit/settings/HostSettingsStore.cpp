#include "settings/HostSettingsStore.hpp"

#include <array>

namespace lumenrail {

namespace {

constexpr std::array<const char*, 14> kFields = {
    "width",          "height",    "fps",           "port",            "captureMain",
    "penHighRate",    "usbEnabled", "secureWifi",   "pairingEnabled",  "keyOnlyLinks",
    "autoStart",      "launchAtLogin", "checkForUpdates", "connectNotice"};

std::string key(const char* field) { return std::string(UserDefaultsSettingsStore::prefix) + field; }

}  // namespace

UserDefaultsSettingsStore::UserDefaultsSettingsStore(std::shared_ptr<UserDefaults> defaults, Log::Sink log)
    : defaults_(std::move(defaults)), log_(std::move(log)) {}

HostSettings UserDefaultsSettingsStore::load() {
  const HostSettings& fallback = HostSettings::shipDefaults();
  HostSettings s;
  auto integer = [&](const char* field, int64_t orElse) {
    return defaults_->hasObject(key(field)) ? defaults_->integer(key(field)) : orElse;
  };
  auto flag = [&](const char* field, bool orElse) {
    return defaults_->hasObject(key(field)) ? defaults_->boolean(key(field)) : orElse;
  };
  // The file is the user's to edit: a size or rate a serve cannot carry is
  // clamped here rather than refused when serving starts.
  s.width = HostSettings::clampDimension(integer("width", fallback.width));
  s.height = HostSettings::clampDimension(integer("height", fallback.height));
  s.fps = HostSettings::clampFps(integer("fps", fallback.fps));
  const int64_t port = integer("port", fallback.port);
  s.port = (port >= 1 && port <= 65535) ? static_cast<uint16_t>(port) : fallback.port;
  s.captureMain = flag("captureMain", fallback.captureMain);
  s.penHighRate = flag("penHighRate", fallback.penHighRate);
  s.usbEnabled = flag("usbEnabled", fallback.usbEnabled);
  s.secureWifi = flag("secureWifi", fallback.secureWifi);
  s.pairingEnabled = flag("pairingEnabled", fallback.pairingEnabled);
  s.keyOnlyLinks = flag("keyOnlyLinks", fallback.keyOnlyLinks);
  s.autoStart = flag("autoStart", fallback.autoStart);
  s.launchAtLogin = flag("launchAtLogin", fallback.launchAtLogin);
  s.checkForUpdates = flag("checkForUpdates", fallback.checkForUpdates);
  const auto notice = defaults_->string(key("connectNotice"));
  s.connectNotice = notice ? ConnectNotices::fromRawValue(*notice).value_or(fallback.connectNotice)
                           : fallback.connectNotice;
  return s;
}

void UserDefaultsSettingsStore::save(const HostSettings& s) {
  nlohmann::json values = nlohmann::json::object();
  values[key("width")] = s.width;
  values[key("height")] = s.height;
  values[key("fps")] = s.fps;
  values[key("port")] = static_cast<int64_t>(s.port);
  values[key("captureMain")] = s.captureMain;
  values[key("penHighRate")] = s.penHighRate;
  values[key("usbEnabled")] = s.usbEnabled;
  values[key("secureWifi")] = s.secureWifi;
  values[key("pairingEnabled")] = s.pairingEnabled;
  values[key("keyOnlyLinks")] = s.keyOnlyLinks;
  values[key("autoStart")] = s.autoStart;
  values[key("launchAtLogin")] = s.launchAtLogin;
  values[key("checkForUpdates")] = s.checkForUpdates;
  values[key("connectNotice")] = std::string(ConnectNotices::rawValue(s.connectNotice));
  const std::string failure = defaults_->set(values);
  if (!failure.empty() && log_) log_("[app] WARN: settings not saved: " + failure);
}

void UserDefaultsSettingsStore::reset() {
  for (const char* field : kFields) defaults_->remove(key(field));
}

}  // namespace lumenrail
