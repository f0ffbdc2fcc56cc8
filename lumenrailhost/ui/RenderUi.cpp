#include "ui/RenderUi.hpp"

#include <filesystem>

#include <QApplication>
#include <QDateTime>
#include <QImage>
#include <QLayout>
#include <QStyleFactory>

#include "app/locale/LocaleFormat.hpp"
#include "app/panel/HostPanelModel.hpp"
#include "app/windows/SettingsPages.hpp"
#include "settings/HostSettingsStore.hpp"
#include "text/L10n.hpp"
#include "ui/style/Appearance.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/tray/HostPanelView.hpp"
#include "ui/windows/settings/SettingsView.hpp"
#include "ui/windows/setup/SetupView.hpp"

namespace lumenrail::RenderUi {

namespace {

// Grants as an X11 desktop has them: capture needs nothing (the display the
// host runs on can be read), input waits for its one-time grant; so both row
// faces appear.
struct FixedProbe final : HostPermissions::Probe {
  bool screenCapture() override { return true; }
  bool mayPostInput() override { return false; }
};

// Available and off: the box can be ticked, nothing reads the autostart folder.
struct FixedLoginItem final : LoginItemPort {
  bool available() const override { return true; }
  bool isEnabled() const override { return false; }
  std::optional<LoginItem::Note> setEnabled(bool) override { return std::nullopt; }
};

PanelState canned(const std::string& name) {
  PanelState s;
  s.port = 27184;
  s.usbEnabled = true;
  s.extend = true;
  if (name == "serving") {
    s.phase = PanelState::Phase::serving;
    s.modeLabel = "1872x864@120";
    s.devices = {{19, "Galaxy S25 Ultra", "JvsvDg4WbYE", true, true}, {23, "Galaxy Tab A8", std::nullopt, false, false}};
    s.awdlWarning = true;
    s.penHighRate = true;
    s.penHighRateActive = true;
  } else if (name == "stopped") {
    s.phase = PanelState::Phase::stopped;
  } else {
    s.phase = PanelState::Phase::serving;
    s.modeLabel = "1920x1080@60";
    s.extend = false;
  }
  return s;
}

QImage draw(QWidget& view, int width, int height) {
  view.ensurePolished();
  if (height > 0) {
    view.resize(width, height);
  } else {
    view.setFixedWidth(width);
    if (view.layout() != nullptr) view.layout()->activate();
    view.adjustSize();
  }
  if (view.layout() != nullptr) view.layout()->activate();
  QImage image(view.size() * 2, QImage::Format_ARGB32_Premultiplied);
  image.setDevicePixelRatio(2);
  image.fill(Qt::transparent);
  view.render(&image);
  return image;
}

}  // namespace

std::vector<PairedDevice> samplePaired(double now) {
  const auto seen = [now](double ago) { return std::to_string(static_cast<int64_t>(now - ago)); };
  const std::string json =
      "[{\"fingerprint\":\"JvsvDg4WbYE\",\"publicKey\":\"AAAA\",\"label\":\"Galaxy S25 Ultra\",\"lastSeen\":" +
      seen(3600) +
      ",\"kind\":1},"
      "{\"fingerprint\":\"Rt7mQ2xLc0w\",\"publicKey\":\"AAAA\",\"label\":\"Galaxy Tab A8\",\"alias\":\"Studio "
      "tablet\",\"lastSeen\":" +
      seen(7200) +
      ",\"kind\":1},"
      "{\"fingerprint\":\"Qk3n8vPz1aA\",\"publicKey\":\"AAAA\",\"label\":\"iPhone 15\",\"lastSeen\":" +
      seen(259200) + "}]";
  return PairedDeviceFile::decode(json).value_or(std::vector<PairedDevice>{});
}

int renderUI(const std::string& directory, const Log::Sink& print) {
  std::error_code ignored;
  std::filesystem::create_directories(directory, ignored);
  int count = 0;

  // Two files per snapshot; each is made by `make` afresh in its appearance.
  const auto save = [&](const std::function<std::unique_ptr<QWidget>()>& make, const std::string& name, int width,
                        int height) {
    for (const auto kind : {AppearanceKind::light, AppearanceKind::dark}) {
      Appearance::instance().pin(kind);
      const auto view = make();
      const QImage image = draw(*view, width, height);
      const std::string path =
          directory + "/" + name + "-" + (kind == AppearanceKind::light ? "light" : "dark") + ".png";
      if (!image.isNull() && image.save(QString::fromStdString(path), "PNG")) {
        ++count;
      } else {
        print("render-ui: " + name + " failed");
      }
    }
  };

  for (const std::string state : {"serving", "stopped", "waiting"}) {
    std::unique_ptr<HostPanelModel> model;
    save(
        [&] {
          // The way the live panel gets there: built while starting, then
          // the state arrives as an update of the rows already shown.
          PanelState starting = canned(state);
          starting.phase = PanelState::Phase::starting;
          model = std::make_unique<HostPanelModel>(
              PanelActions{}, [starting, shown = canned(state), reads = 0]() mutable { return reads++ == 0 ? starting : shown; });
          auto view = std::make_unique<HostPanelView>(*model);
          model->refresh();
          return view;
        },
        "panel-" + state, HostPanelView::kWidth, 0);
  }

  SetupModel::Ports setupPorts;
  // Never written: a model made at a given step stores nothing until used.
  setupPorts.defaults = std::make_shared<UserDefaults>("/nonexistent/lumenrail-render-ui/defaults.json", "lumenrail");
  setupPorts.probe = std::make_shared<FixedProbe>();
  setupPorts.installed = true;
  setupPorts.log = [](const std::string&) {};
  for (const auto& [step, name] : {std::pair{SetupModel::Step::welcome, "welcome"},
                                   std::pair{SetupModel::Step::permissions, "permissions"},
                                   std::pair{SetupModel::Step::device, "device"}}) {
    save(
        [&, step = step] {
          auto model = std::make_shared<SetupModel>([](bool) {}, step, setupPorts);
          return std::make_unique<SetupView>(model, SetupViewPorts{.installed = true, .relaunch = {}});
        },
        std::string("setup-") + name, SetupView::kWidth, SetupView::kHeight);
  }

  const double now = static_cast<double>(QDateTime::currentSecsSinceEpoch());
  HostSettingsModel::Callbacks callbacks;
  callbacks.onEdit = [](const HostSettings&, const HostSettings&) {};
  callbacks.onApplyRestart = [] {};
  callbacks.onRename = [](const std::string&, const std::string&) {};
  callbacks.onForget = [](const std::string&) {};
  callbacks.onRemoveData = [] {};
  callbacks.refreshPaired = [now] { return samplePaired(now); };
  const HostSettings defaults = HostSettings::shipDefaults();
  auto settings = std::make_shared<HostSettingsModel>(defaults, std::nullopt, true,
                                                      std::make_shared<InMemorySettingsStore>(defaults), callbacks);
  settings->setPairedDevices(samplePaired(now));
  settings->setConnectedFingerprints({"JvsvDg4WbYE"});
  SettingsPorts ports;
  ports.loginItem = std::make_shared<FixedLoginItem>();
  ports.launch = [](const std::vector<std::string>&) { return false; };
  ports.relaunch = [] {};
  ports.logFile = "~/.local/state/lumenrail/host.log";
  for (const auto section : SettingsSections::allCases) {
    save([&] { return std::make_unique<SettingsView>(settings, ports, section, false); },
         "settings-" + SettingsSections::rawValue(section), 780, 560);
  }

  print("render-ui: wrote " + std::to_string(count) + " PNGs to " + directory);
  return count < 1 ? 1 : 0;
}

int run(const std::string& directory, const Log::Sink& print) {
  // No display is needed, and no desktop theme or language leaks in.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qunsetenv("QT_SCALE_FACTOR");
  qunsetenv("QT_SCREEN_SCALE_FACTORS");
  LocaleFormat::pinLanguage("en");
  int argc = 1;
  char name[] = "lumenrailhost";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setFont(HostFont::make(13));
  return renderUI(directory, print);
}

}  // namespace lumenrail::RenderUi
