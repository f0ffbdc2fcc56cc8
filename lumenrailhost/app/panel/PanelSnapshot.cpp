#include "app/panel/PanelSnapshot.hpp"

#include <algorithm>
#include <map>

#include "app/controller/SupportActions.hpp"
#include "wire/Wire.hpp"

namespace lumenrail::PanelSnapshot {

namespace {

using SupportReport::Row;
using SupportReport::Section;

const char* phaseName(PanelState::Phase phase) {
  switch (phase) {
    case PanelState::Phase::stopped: return "stopped";
    case PanelState::Phase::starting: return "starting";
    case PanelState::Phase::serving: return "serving";
    case PanelState::Phase::stopping: return "stopping";
  }
  return "stopped";
}

const char* yesNo(bool yes) { return yes ? "yes" : "no"; }

}  // namespace

PanelState snapshot(const PanelSource& source, ClientOrder* order) {
  const HostSettings settings = source.settings();
  const bool serving = source.serving();
  ServingSessionView* session = serving ? source.session() : nullptr;

  PanelState s;
  s.phase = PanelState::phaseOf(serving, source.transitioning());
  s.port = settings.port;
  s.usbEnabled = settings.usbEnabled;
  s.penHighRate = settings.penHighRate;
  s.extend = !(session ? session->captureMain() : settings.captureMain);
  s.update = source.availableUpdate();
  s.clientAppUpdate = source.clientAppUpdate();
  s.startFailure = source.startFailure();
  s.servingOpen = source.servingOpen();
  std::map<std::string, PairedDevice> paired;
  if (const auto store = source.pairedDevices()) {
    for (auto& record : store->all()) paired.try_emplace(record.fingerprint, std::move(record));
  }
  s.pairedCount = paired.size();
  if (!session) {
    if (order) order->arrange({});
    return s;
  }

  s.modeLabel = session->modeLabel();
  s.penHighRateActive = session->penHighRateApplied();
  s.extendRefused = session->extendRefused();
  const auto main = session->mainFingerprint();
  auto clients = session->connectedClients();
  if (order) {
    clients = order->arrange(std::move(clients));
  } else {
    std::stable_sort(clients.begin(), clients.end(), [](const auto& a, const auto& b) { return a.fd < b.fd; });
  }
  for (const auto& client : clients) {
    PanelDevice d;
    d.id = client.fd;
    d.fingerprint = client.fingerprint;
    d.overNetwork = client.overNetwork;
    d.isMain = client.fingerprint && main && *client.fingerprint == *main;
    const PairedDevice* record = nullptr;
    if (client.fingerprint) {
      if (const auto it = paired.find(*client.fingerprint); it != paired.end()) record = &it->second;
    }
    if (record && record->alias && !record->alias->empty()) {
      d.name = *record->alias;
    } else if (!client.name.empty()) {
      d.name = client.name;
    } else if (record) {
      d.name = record->label;
    }
    s.devices.push_back(std::move(d));
  }
  const bool anyNetwork = std::any_of(s.devices.begin(), s.devices.end(), [](const auto& d) { return d.overNetwork; });
  s.awdlWarning = anyNetwork && source.awdlActive();
  s.inputBlocked = source.inputBlocked();
  return s;
}

PanelState fallback() {
  PanelState s;
  s.extend = true;
  s.port = Wire::defaultPort;
  s.usbEnabled = true;
  return s;
}

std::vector<Section> supportSections(const PanelSource& source) {
  const PanelState s = snapshot(source);
  const HostSettings settings = source.settings();
  const auto store = source.pairedDevices();
  const auto update = source.availableUpdate();
  Section host{"host state", {}};
  auto& rows = host.rows;
  rows.push_back({"phase", phaseName(s.phase)});
  rows.push_back({"mode", s.modeLabel.empty() ? "(not serving)" : s.modeLabel});
  rows.push_back({"extend (not mirror)", yesNo(s.extend)});
  rows.push_back({"pen high rate", !s.penHighRate ? "off" : (s.penHighRateActive ? "on, active" : "on, idle")});
  rows.push_back({"wifi port", std::to_string(s.port)});
  rows.push_back({"usb (android cable)", s.usbEnabled ? "on" : "off"});
  rows.push_back({"awdl warning", s.awdlWarning ? "yes (AirDrop/Handoff radio hopping)" : "no"});
  rows.push_back({"input blocked", s.inputBlocked ? "yes (no input access, client connected)" : "no"});
  rows.push_back({"connected devices", std::to_string(s.devices.size())});
  rows.push_back({"paired devices", std::to_string(store ? store->all().size() : 0)});
  rows.push_back({"update available", update ? update->version : "no"});
  rows.push_back({"restart pending", SupportActions::restartPending(source.runningSettings(), settings)});
  rows.push_back({"client floor", std::to_string(source.clientFloor())});
  ServingSessionView* session = source.serving() ? source.session() : nullptr;
  for (size_t i = 0; i < s.devices.size(); ++i) {
    const PanelDevice& d = s.devices[i];
    std::string value = d.name + (d.overNetwork ? " | wifi" : " | cable") +
                        (d.fingerprint ? " | paired" : " | unpaired tier") + (d.isMain ? " | main" : "");
    const auto version = session ? session->peerVersion(d.id) : std::nullopt;
    value += " | " + (version ? version->summary() : std::string("no version (level 0)"));
    rows.push_back({"device " + std::to_string(i + 1), value});
  }
  return {host, SupportActions::settingsSection(settings)};
}

PanelActions actions(std::weak_ptr<HostCommands> commands, ClosingRunner closing) {
  // Plain actions run at once; closing ones go through `closing`.
  auto now = [commands](auto call) {
    return [commands, call](auto... args) {
      if (const auto c = commands.lock()) call(*c, args...);
    };
  };
  auto later = [commands, closing](void (HostCommands::*call)()) {
    return [commands, closing, call] {
      if (commands.expired() || !closing) return;
      closing([commands, call] {
        if (const auto c = commands.lock()) ((*c).*call)();
      });
    };
  };
  PanelActions a;
  a.toggleServing = now([](HostCommands& c) { c.toggleServing(); });
  a.setExtend = now([](HostCommands& c, bool extend) { c.switchMode(!extend); });
  a.setPenHighRate = now([](HostCommands& c, bool on) { c.setPenHighRate(on); });
  a.showQr = later(&HostCommands::showQr);
  a.showSettings = later(&HostCommands::showSettings);
  a.showAbout = later(&HostCommands::showAbout);
  a.showSetup = later(&HostCommands::showSetup);
  a.quit = now([](HostCommands& c) { c.quit(); });
  a.openAirDropSettings = later(&HostCommands::openAirDropSettings);
  a.openAccessibilitySettings = later(&HostCommands::openAccessibilitySettings);
  a.setMain = now([](HostCommands& c, const std::string& fp) { c.setMainDevice(fp); });
  a.disconnect = now([](HostCommands& c, const std::string& fp) { c.disconnectDevice(fp); });
  a.forget = now([](HostCommands& c, const std::string& fp) { c.forgetDevice(fp); });
  a.openUpdate = later(&HostCommands::openUpdate);
  a.dismissClientAppUpdate = now([](HostCommands& c) { c.dismissClientAppUpdate(); });
  return a;
}

}  // namespace lumenrail::PanelSnapshot
