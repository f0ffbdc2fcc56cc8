#pragma once

#include <string>
#include <vector>

#include "app/panel/PanelSource.hpp"

namespace lumenrail::test {

// Names each command it is given, in order.
struct RecordingCommands final : HostCommands {
  std::vector<std::string> calls;
  void toggleServing() override { calls.push_back("toggle"); }
  void switchMode(bool captureMain) override { calls.push_back(captureMain ? "mirror" : "extend"); }
  void setPenHighRate(bool on) override { calls.push_back(on ? "pen on" : "pen off"); }
  void togglePenHighRate() override { calls.push_back("pen toggle"); }
  void showQr() override { calls.push_back("qr"); }
  void showSettings() override { calls.push_back("settings"); }
  void showAbout() override { calls.push_back("about"); }
  void showSetup() override { calls.push_back("setup"); }
  void quit() override { calls.push_back("quit"); }
  void openAirDropSettings() override { calls.push_back("airdrop"); }
  void openAccessibilitySettings() override { calls.push_back("accessibility"); }
  void openUpdate() override { calls.push_back("update"); }
  void dismissClientAppUpdate() override { calls.push_back("dismiss"); }
  void setMainDevice(const std::string& fp) override { calls.push_back("main " + fp); }
  void disconnectDevice(const std::string& fp) override { calls.push_back("disconnect " + fp); }
  void renameDevice(const std::string& fp) override { calls.push_back("rename " + fp); }
  void forgetDevice(const std::string& fp) override { calls.push_back("forget " + fp); }
};

}  // namespace lumenrail::test
