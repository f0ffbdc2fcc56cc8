#pragma once

// What the panel's controls ask for; the controller fills these in. Built
// with no arguments every action does nothing (offscreen rendering).

#include <functional>
#include <string>

namespace lumenrail {

struct PanelActions {
  std::function<void()> toggleServing = [] {};
  std::function<void(bool extend)> setExtend = [](bool) {};
  std::function<void(bool on)> setPenHighRate = [](bool) {};
  std::function<void()> showQr = [] {};
  std::function<void()> showSettings = [] {};
  std::function<void()> showAbout = [] {};
  std::function<void()> showSetup = [] {};
  std::function<void()> quit = [] {};
  std::function<void()> openAirDropSettings = [] {};
  std::function<void()> openAccessibilitySettings = [] {};
  std::function<void(const std::string& fingerprint)> setMain = [](const std::string&) {};
  std::function<void(const std::string& fingerprint)> disconnect = [](const std::string&) {};
  std::function<void(const std::string& fingerprint)> forget = [](const std::string&) {};
  std::function<void()> openUpdate = [] {};
  std::function<void()> dismissClientAppUpdate = [] {};
};

}  // namespace lumenrail
