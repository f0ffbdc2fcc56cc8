#pragma once

// The rules of the settings window's pages, over the shared settings model,
// so they are decided (and tested) without a display. The pages draw what
// these give and call them with what the user chose.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/windows/HostSettingsModel.hpp"
#include "app/windows/WindowPorts.hpp"

namespace lumenrail::SettingsPages {

// Display: the presets, and a resolution's tag (width x 100000 + height).
struct Resolution {
  int64_t width;
  int64_t height;
};
inline constexpr std::array<Resolution, 4> kResolutions = {{{1280, 720}, {1920, 1080}, {2560, 1440}, {3840, 2160}}};
inline constexpr std::array<int64_t, 3> kFrameRates = {30, 60, 120};
constexpr int64_t resolutionTag(int64_t width, int64_t height) { return width * 100000 + height; }
int64_t currentResolutionTag(const HostSettingsModel& model);
// Width first, then height: two saves; an unknown tag changes nothing.
void chooseResolution(HostSettingsModel& model, int64_t tag);
// The live mode while a session runs, else the stored one (true = mirror).
bool mirroring(const HostSettingsModel& model);
// To the owner when it takes the choice, else into the settings.
void chooseCaptureMain(HostSettingsModel& model, bool captureMain);

// Connection: the port field commits only when editing ends, so the
// intermediate values of typing ("8", "80", ...) are never clamped and saved.
inline constexpr int64_t kMinPort = 1024;
inline constexpr int64_t kMaxPort = 65535;
inline constexpr uint16_t kDefaultPort = 27184;
// Decimal digits (an optional sign, surrounding blanks ignored); a number
// too long for 64 bits reads as out of range, not as garbage.
std::optional<int64_t> parsePort(std::string_view text);
// Stores the clamped port when the text reads as a number; returns the port
// the field shows afterwards.
uint16_t commitPort(HostSettingsModel& model, std::string_view text);

// Startup: the open-at-login switch records the choice first, then registers.
void setLaunchAtLogin(HostSettingsModel& model, LoginItemPort& loginItem, bool enabled);
// The row's description key, or the note's own text.
std::string openAtLoginDescription(const HostSettingsModel& model, bool available);
bool relaunchOffered(const std::string& chosenLanguage, const std::string& languageAtLaunch);
// The override in force when this process started (fixed on first use).
const std::string& launchLanguage();

// Pairing.
std::string lastSeenText(double secondsSince1970, double nowSeconds);
// A device the session serves now is connected, whenever the store last saw it.
std::string deviceStatusText(const HostSettingsModel& model, const PairedDevice& device, double nowSeconds);
void rename(HostSettingsModel& model, const std::string& fingerprint, const std::string& draft);
void forget(HostSettingsModel& model, const std::string& fingerprint);
void refresh(HostSettingsModel& model);

// Advanced: the shipped defaults in one save. Their launchAtLogin is off, so
// the autostart entry goes too; otherwise the switch would read off while
// the host still started at login.
void resetToDefaults(HostSettingsModel& model, LoginItemPort* loginItem);

// The shell's banner detail: the pending fields' texts joined as a list.
std::string restartDetail(const std::vector<HostSettingsModel::RestartField>& fields);
std::string joinList(const std::vector<std::string>& items, const std::string& localeId);

// The desktop's display settings for an $XDG_CURRENT_DESKTOP value; nothing
// where none is known. `has` tells whether a program is on the PATH.
std::optional<std::vector<std::string>> displaySettingsCommand(std::string_view desktops,
                                                               const std::function<bool(const std::string&)>& has);
// `path` is $PATH as the start-up read it.
bool onPath(const std::string& program, const std::string& path);
// The log when it exists, else its folder (xdg-open takes either path).
std::string logTarget(const std::string& logFile);

}  // namespace lumenrail::SettingsPages
