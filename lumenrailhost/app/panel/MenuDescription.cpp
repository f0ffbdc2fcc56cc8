#include "app/panel/MenuDescription.hpp"

#include <algorithm>
#include <chrono>

#include "app/locale/RelativeTime.hpp"
#include "app/panel/PanelSource.hpp"
#include "text/DeviceKindText.hpp"
#include "text/L10n.hpp"

namespace lumenrail::MenuBuilder {

namespace {

constexpr const char* kProduct = L10n::kProductName;
constexpr int kHighPenRateHz = 240;

struct Texts {
  const Localizer& l;
  template <typename... Args>
  std::string operator()(std::string_view key, const Args&... args) const {
    return l.text(key, {FormatArg(args)...});
  }
};

MenuItem text(std::string title) {
  MenuItem item;
  item.title = std::move(title);
  return item;
}
MenuItem separator() {
  MenuItem item;
  item.kind = MenuItem::Kind::separator;
  return item;
}
MenuItem action(std::string title, MenuCommand command, bool enabled = true) {
  MenuItem item = text(std::move(title));
  item.enabled = enabled;
  item.command = command;
  return item;
}
MenuItem device(std::string title, MenuCommand command, bool enabled, const std::string& fingerprint) {
  MenuItem item = action(std::move(title), command, enabled);
  item.fingerprint = fingerprint;
  return item;
}

// In the language the texts are read in, against the wall clock.
std::string relativeNow(double lastSeen, const Localizer& l) {
  const double now = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return l.localization().empty() ? RelativeTime::format(lastSeen, now)
                                  : RelativeTime::format(lastSeen, now, l.localization());
}

}  // namespace

std::vector<MenuItem> pairedSubmenu(const PairedDevice& d, const ServingSessionView* session,
                                    const RelativeText& relative, const Localizer& l) {
  const Texts t{l};
  std::vector<MenuItem> items;
  if (const auto kind = DeviceKindText::label(d.deviceKind())) items.push_back(text(*kind));
  bool connected = false;
  bool isMain = false;
  if (session) {
    for (const auto& client : session->connectedClients()) {
      if (client.fingerprint == d.fingerprint) connected = true;
    }
    isMain = session->mainFingerprint() == d.fingerprint;
  }
  // While it is connected, "Connected" below says more than an older time would.
  if (!connected) {
    items.push_back(text(t("device.lastSeen", relative ? relative(d.lastSeen) : relativeNow(d.lastSeen, l))));
  }
  items.push_back(text(d.fingerprint));
  items.push_back(text(t(connected ? "device.connected" : "device.notConnected")));
  items.push_back(separator());
  MenuItem main = device(t("device.setMain"), MenuCommand::setMainDevice, connected, d.fingerprint);
  main.checked = isMain;
  items.push_back(main);
  items.push_back(device(t("device.disconnect"), MenuCommand::disconnectDevice, connected, d.fingerprint));
  items.push_back(separator());
  items.push_back(device(t("device.renameEllipsis"), MenuCommand::renameDevice, true, d.fingerprint));
  items.push_back(device(t("device.forget"), MenuCommand::forgetDevice, true, d.fingerprint));
  return items;
}

MenuDescription build(const PanelSource& source, const RelativeText& relative, const Localizer& l) {
  const Texts t{l};
  const HostSettings settings = source.settings();
  const bool serving = source.serving();
  const bool transitioning = source.transitioning();
  ServingSessionView* session = source.session();
  ServingSessionView* live = serving ? session : nullptr;
  const bool mirroring = live ? live->captureMain() : settings.captureMain;
  const std::string hostName = t("app.hostName", kProduct);
  const std::string port = std::to_string(settings.port);

  std::vector<MenuItem> m;
  static constexpr const char* kStatus[] = {"status.stopped", "status.startingEllipsis", "status.serving",
                                            "status.stoppingEllipsis"};
  m.push_back(text(t("menu.header", hostName, t(kStatus[2 * serving + transitioning]))));
  if (const auto update = source.availableUpdate()) {
    m.push_back(action(t("menu.updateAvailable", update->version), MenuCommand::openUpdate));
  }
  if (const auto name = source.clientAppUpdate()) {
    MenuItem notice = action(t("clientUpdate.title", kProduct), MenuCommand::dismissClientAppUpdate);
    notice.symbol = "exclamationmark.triangle";
    notice.toolTip = name->empty() ? t("clientUpdate.detail.unnamed")
                                   : t("clientUpdate.detail.named", *name);
    m.push_back(notice);
  }

  if (live) {
    const auto clients = live->connectedClients();
    m.push_back(text(t("menu.modeLine", live->modeLabel(),
                                t(mirroring ? "menu.mode.mirror" : "menu.mode.extend"), port)));
    m.push_back(text(t("menu.clientsConnected", static_cast<int64_t>(clients.size()))));
    // The server's client table has no order: the names are listed sorted.
    std::vector<std::string> names;
    for (const auto& client : clients) {
      if (!client.name.empty()) names.push_back(client.name);
    }
    std::sort(names.begin(), names.end());
    for (const auto& name : names) m.push_back(text("  \u2022 " + name));
    if (source.inputBlocked()) {
      m.push_back(separator());
      MenuItem blocked = action(t("menu.inputBlocked.title"), MenuCommand::openAccessibilitySettings);
      blocked.symbol = "exclamationmark.triangle";
      blocked.toolTip = t("inputBlocked.detail");
      m.push_back(blocked);
    }
    const bool network = std::any_of(clients.begin(), clients.end(), [](const auto& c) { return c.overNetwork; });
    if (network && source.awdlActive()) {
      m.push_back(separator());
      MenuItem awdl = action(t("menu.awdl.title"), MenuCommand::openAirDropSettings);
      awdl.symbol = "exclamationmark.triangle";
      awdl.toolTip = t("menu.awdl.tooltip");
      m.push_back(awdl);
      m.push_back(text(t("menu.awdl.hint")));
    }
  } else {
    m.push_back(text(t(settings.usbEnabled ? "menu.idle.wifiUsb" : "menu.idle.wifi", port)));
  }
  m.push_back(separator());
  m.push_back(action(t(serving ? "action.stopServing" : "action.startServing"), MenuCommand::toggleServing,
                     !transitioning));
  m.push_back(action(t("menu.showQr"), MenuCommand::showQr));

  if (const auto store = source.pairedDevices(); store && settings.pairingEnabled) {
    m.push_back(separator());
    m.push_back(text(t("menu.pairedDevices")));
    auto records = store->all();
    std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.lastSeen > b.lastSeen; });
    for (const auto& record : records) {
      MenuItem entry = text(record.displayName());
      entry.enabled = true;
      entry.submenu = pairedSubmenu(record, live, relative, l);
      m.push_back(entry);
    }
    if (records.empty()) m.push_back(text(t("menu.pairedDevices.none")));
  }

  m.push_back(separator());
  m.push_back(text(t("menu.displayMode")));
  MenuItem extended = action(t("menu.extended"), MenuCommand::chooseExtended, !transitioning);
  extended.checked = !mirroring;
  extended.radio = true;
  m.push_back(extended);
  MenuItem mirror = action(t("menu.mirror"), MenuCommand::chooseMirror, !transitioning);
  mirror.checked = mirroring;
  mirror.radio = true;
  m.push_back(mirror);
  m.push_back(separator());
  m.push_back(text(t("menu.pen")));
  MenuItem pen = action(t("pen.highRateMode"), MenuCommand::togglePenHighRate, !mirroring && !transitioning);
  pen.checked = settings.penHighRate;
  m.push_back(pen);
  std::string penLine;
  if (mirroring) {
    penLine = t("menu.pen.extendOnly");
  } else if (!settings.penHighRate) {
    penLine = t("menu.pen.rate");
  } else if (live && live->penHighRateApplied()) {
    penLine = t("menu.pen.active", kHighPenRateHz);
  } else {
    penLine = t("menu.pen.waiting");
  }
  // A status line stands flush with the items, as on every Linux menu; only
  // the list of clients is indented under its count.
  m.push_back(text(penLine));
  m.push_back(separator());
  m.push_back(action(t("menu.about", kProduct), MenuCommand::showAbout));
  m.push_back(action(t("menu.setup"), MenuCommand::showSetup));
  MenuItem settingsItem = action(t("menu.settings"), MenuCommand::showSettings);
  settingsItem.shortcut = "Ctrl+,";
  m.push_back(settingsItem);
  MenuItem quit = action(t("action.quit", hostName), MenuCommand::quit);
  quit.shortcut = "Ctrl+Q";
  m.push_back(quit);
  return {std::move(m)};
}

void run(const MenuItem& item, HostCommands& c) {
  const std::string& fp = item.fingerprint;
  switch (item.command) {
    case MenuCommand::none: return;
    case MenuCommand::openUpdate: return c.openUpdate();
    case MenuCommand::dismissClientAppUpdate: return c.dismissClientAppUpdate();
    case MenuCommand::openAccessibilitySettings: return c.openAccessibilitySettings();
    case MenuCommand::openAirDropSettings: return c.openAirDropSettings();
    case MenuCommand::toggleServing: return c.toggleServing();
    case MenuCommand::showQr: return c.showQr();
    case MenuCommand::chooseExtended: return c.switchMode(false);
    case MenuCommand::chooseMirror: return c.switchMode(true);
    case MenuCommand::togglePenHighRate: return c.togglePenHighRate();
    case MenuCommand::showAbout: return c.showAbout();
    case MenuCommand::showSetup: return c.showSetup();
    case MenuCommand::showSettings: return c.showSettings();
    case MenuCommand::quit: return c.quit();
    // A device command without its fingerprint does nothing.
    case MenuCommand::setMainDevice: return fp.empty() ? void() : c.setMainDevice(fp);
    case MenuCommand::disconnectDevice: return fp.empty() ? void() : c.disconnectDevice(fp);
    case MenuCommand::renameDevice: return fp.empty() ? void() : c.renameDevice(fp);
    case MenuCommand::forgetDevice: return fp.empty() ? void() : c.forgetDevice(fp);
  }
}

}  // namespace lumenrail::MenuBuilder
