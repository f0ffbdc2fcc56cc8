#include "trayapp/MenuBarHost.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "app/controller/MenuBarHostController.hpp"
#include "app/panel/MenuDescription.hpp"
#include "desktop/DesktopChoice.hpp"
#include "entry/HostEntry.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/ChildProcesses.hpp"
#include "platform/Log.hpp"
#include "platform/Paths.hpp"
#include "platform/SerialQueue.hpp"
#include "platform/UserDefaults.hpp"
#include "platform/X11Display.hpp"
#include "secure/WifiKeySchedule.hpp"
#include "session/PairingSupport.hpp"
#include "settings/UpdateChecker.hpp"
#include "trayapp/GuiPlatform.hpp"
#include "trayapp/HostRelaunch.hpp"
#include "trayapp/InstanceChannel.hpp"
#include "trayapp/InstanceLock.hpp"
#include "trayapp/PipelineServingSession.hpp"
#include "trayapp/SystemLoginItem.hpp"
#include "trayapp/TrayAnnouncement.hpp"
#include "trayapp/XdgOpener.hpp"

// After the host's headers: Qt's keyword macros clash with some of their names.
#include "ui/qt/DBusNotifier.hpp"
#include "ui/qt/QtAlertRunner.hpp"
#include "ui/qt/QtMainExecutor.hpp"
#include "ui/qt/QtPorts.hpp"
#include "ui/style/Appearance.hpp"
#include "ui/style/AppIcon.hpp"
#include "ui/tray/ClassicMenu.hpp"
#include "ui/tray/PanelPopup.hpp"
#include "ui/tray/PanelWindow.hpp"
#include "ui/tray/TrayStatusItem.hpp"
#include "ui/windows/about/AboutWindowController.hpp"
#include "ui/windows/InputAccessWindow.hpp"
#include "ui/windows/QrWindowController.hpp"
#include "ui/windows/RenameDialog.hpp"
#include "ui/windows/settings/SettingsWindowController.hpp"
#include "ui/windows/setup/SetupWindowController.hpp"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QSocketNotifier>
#include <QStyleFactory>

namespace lumenrail {

namespace {

class RealUpdateChecker final : public UpdateCheckerHandle {
 public:
  RealUpdateChecker(UpdateCheckerRequest request, const std::shared_ptr<Executor>& main)
      : checker_(request.running, request.platform, processEnvironment(), Log::line, request.onUpdate,
                 request.onVerdict, main) {}
  void start() override { checker_.start(); }
  void stop() override { checker_.stop(); }

 private:
  UpdateChecker checker_;
};

class SettingsWindow final : public HostWindow {
 public:
  SettingsWindow(std::shared_ptr<HostSettingsModel> model, SettingsPorts ports)
      : controller_(std::move(model), std::move(ports)) {}
  void show() override { controller_.show(); }
  bool isVisible() const override { return controller_.isVisible(); }

 private:
  SettingsWindowController controller_;
};

class AboutWindow final : public HostWindow {
 public:
  AboutWindow(std::shared_ptr<Clipboard> clipboard, std::shared_ptr<UrlOpener> opener)
      : controller_(std::move(clipboard), std::move(opener)) {}
  void show() override { controller_.show(); }
  bool isVisible() const override { return controller_.window() && controller_.window()->isVisible(); }

 private:
  AboutWindowController controller_;
};

class MainWindow final : public HostWindow {
 public:
  MainWindow(HostPanelModel& model, std::shared_ptr<Executor> main) : window_(model, std::move(main)) {}
  void show() override { window_.present(); }
  bool isVisible() const override { return window_.isVisible(); }
  void hide() override { window_.hide(); }

 private:
  PanelWindow window_;
};

class InputAccess final : public HostWindow {
 public:
  InputAccess(std::string command, std::function<bool()> allowed, std::shared_ptr<Clipboard> clipboard,
              std::shared_ptr<Executor> main)
      : window_(std::move(command), std::move(allowed), std::move(clipboard), std::move(main)) {}
  void show() override { window_.present(); }
  bool isVisible() const override { return window_.isVisible(); }
  void hide() override { window_.hide(); }

 private:
  InputAccessWindow window_;
};

class QrWindow final : public QrWindowPort {
 public:
  QrWindow(uint16_t port, std::optional<Bytes> psk, QrWindowModel::Ports ports)
      : controller_(port, std::move(psk), std::move(ports)) {}
  void show(bool serving) override { controller_.show(serving); }

 private:
  QrWindowController controller_;
};

// Picks the windows' platform before Qt starts: Qt ends the process when it
// cannot reach its display, so an unreachable one is refused with a reason.
bool chooseGuiPlatform() {
  const GuiPlatform choice = GuiPlatform::forThisProcess(processEnvironment());
  if (!choice.refusal.empty()) {
    Log::line("[app] ERROR: the tray application cannot show its windows: " + choice.refusal +
              " — use --m2 to serve without them");
    return false;
  }
  if (!choice.warning.empty()) Log::line("[app] WARN: " + choice.warning);
  if (!choice.qpa.empty()) ::setenv("QT_QPA_PLATFORM", choice.qpa.c_str(), 1);
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!platform || std::string_view(platform) != "xcb") return true;
  // Only where the windows go to an X server (an X desktop, or the user asked for xcb).
  try {
    X11Display::open("");
    return true;
  } catch (const std::exception& e) {
    Log::line("[app] ERROR: the tray application cannot reach the X display (" + std::string(e.what()) +
              ") — use --m2 to serve without a desktop");
    return false;
  }
}

// How long a second start waits for the running instance to answer.
constexpr uint64_t kActivationWaitNs = 2 * kNsPerSecond;

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGHUP: return "SIGHUP";
    default: return "SIGTERM";
  }
}

}  // namespace

int runMenuBarHost(const HostSettings& settings, std::shared_ptr<HostSettingsStore> store,
                   std::vector<std::string> arguments, bool installed) {
  Log::line("== lumenrail Linux host — tray application ==");
  if (!chooseGuiPlatform()) return 2;
  // Blocked before Qt starts its threads, so the stop signals reach only the
  // descriptor that the main loop watches.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  const int signalFd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);

  int argc = 1;
  char name[] = "lumenrailhost";
  char* argv[] = {name, nullptr};
  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Lumenrail");
  QApplication::setDesktopFileName("lumenrail-host");
  // Every window carries it (_NET_WM_ICON), About and the welcome step show it.
  QApplication::setWindowIcon(AppIcon::icon());
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  Appearance::instance().followDesktop();
  Log::line("[app] windows on Qt's " + QGuiApplication::platformName().toStdString() + " platform");

  auto main = std::make_shared<QtMainExecutor>();
  auto alerts = std::make_shared<QtAlertRunner>();
  PairingSupport::installAlertApprover(std::make_shared<PairingSupport::AlertApprover>(main, alerts));

  std::weak_ptr<MenuBarHostController> weak;
  std::unique_ptr<PanelPopup> panel;
  TrayStatusItem::Actions trayActions;
  trayActions.toggleServing = [&weak] {
    if (auto c = weak.lock()) c->toggleServing();
  };
  trayActions.quit = [&weak] {
    if (auto c = weak.lock()) c->quit();
  };
  std::weak_ptr<TrayStatusItem> weakTray;
  trayActions.primaryClick = [&panel, &weakTray] {
    const auto item = weakTray.lock();
    if (panel && item) panel->toggle(item->geometry());
  };
  trayActions.menuOpening = [&panel] {
    if (panel && panel->isOpen()) panel->close();
  };
  auto tray = std::make_shared<TrayStatusItem>(std::move(trayActions));
  weakTray = tray;

  auto clipboard = std::make_shared<QtClipboard>();
  auto children = std::make_shared<ChildProcesses>();
  auto opener = std::make_shared<XdgOpener>(children);
  bool relaunch = false;
  SettingsPorts settingsPorts;
  settingsPorts.loginItem = std::make_shared<SystemLoginItem>();
  settingsPorts.opener = opener;
  settingsPorts.clipboard = clipboard;
  settingsPorts.launch = [children](const std::vector<std::string>& argv) { return children->start(argv).has_value(); };
  settingsPorts.relaunch = [&weak, &relaunch] {
    relaunch = true;
    if (auto c = weak.lock()) c->quit();
  };
  settingsPorts.main = main;
  if (const char* desktop = std::getenv("XDG_CURRENT_DESKTOP")) settingsPorts.desktop = desktop;
  if (const std::string folder = Paths::logDirectory(); !folder.empty()) settingsPorts.logFile = folder + "/host.log";

  MenuBarHostController::Ports ports;
  ports.main = main;
  ports.serveQueue = std::make_shared<SerialQueue>(MenuBarHostController::kServeQueueLabel);
  ports.statusItem = tray;
  ports.alerts = alerts;
  ports.opener = opener;
  ports.defaults = UserDefaults::standard();
  ports.probe = DesktopChoice::makePermissionProbe();
  ports.notifier = DBusNotifier::onSessionBus();
  ports.displayAwake = DesktopChoice::makeDisplayAwake(MenuBarHostController::kDisplayAwakeReason);
  // The session's switches are read here, once, for every session of this run.
  ports.makeSession = [main, switches = ServeSwitches::read(arguments, processEnvironment())](
                          const SessionConfig& config) -> std::shared_ptr<ServingSession> {
    return std::make_shared<PipelineServingSession>(config, switches, main);
  };
  ports.loadPairing = [] { return PairingSupport::load(PairingSupport::alertApprove, PairingSupport::alertCancel); };
  ports.makeUpdateChecker = [main](UpdateCheckerRequest request) -> std::unique_ptr<UpdateCheckerHandle> {
    return std::make_unique<RealUpdateChecker>(std::move(request), main);
  };
  ports.randomKey = WifiKeySchedule::randomPsk;
  ports.terminate = [] { QCoreApplication::exit(0); };
  ports.installed = installed;
  ports.arguments = arguments;
  ports.renamePrompt = std::make_shared<QtRenamePrompt>();
  ports.loginItem = settingsPorts.loginItem;
  ports.exitProcess = [] {
    VirtualDisplayManager::removeAllAdded();
    std::fflush(nullptr);
    std::_Exit(0);
  };
  ports.windows.makeSettings = [settingsPorts](std::shared_ptr<HostSettingsModel> model) -> std::unique_ptr<HostWindow> {
    return std::make_unique<SettingsWindow>(std::move(model), settingsPorts);
  };
  ports.windows.makeAbout = [clipboard, opener]() -> std::unique_ptr<HostWindow> {
    return std::make_unique<AboutWindow>(clipboard, opener);
  };
  const auto trayShown = [&weak] {
    const auto c = weak.lock();
    return c && c->trayDocked();
  };
  ports.windows.makeQr = [clipboard, main, trayShown](uint16_t port, std::optional<Bytes> psk,
                                                std::function<int64_t()> clientCount) -> std::unique_ptr<QrWindowPort> {
    QrWindowModel::Ports qrPorts;
    qrPorts.trayShown = trayShown;
    qrPorts.clientCount = std::move(clientCount);
    qrPorts.clipboard = clipboard;
    qrPorts.main = main;
    return std::make_unique<QrWindow>(port, std::move(psk), std::move(qrPorts));
  };
  // Replaced on every showing; a finish or a close leaves the step stored.
  std::unique_ptr<SetupWindowController> setup;
  const auto defaults = ports.defaults;
  const auto probe = ports.probe;
  ports.windows.showSetup = [&setup, &weak, defaults, probe, installed, main, trayShown] {
    if (setup) {
      setup->close();
      setup.release()->deleteLater();
    }
    auto model = std::make_shared<SetupModel>(
        [&setup, &weak](bool openAtLogin) {
          if (auto c = weak.lock()) c->finishSetup(openAtLogin);
          if (setup) {
            setup->close();
            // The finish runs inside the window's own button press.
            setup.release()->deleteLater();
          }
        },
        std::nullopt, SetupModel::Ports{defaults, probe, main, installed, Log::line, [&weak] {
          if (auto c = weak.lock()) c->openAccessibilitySettings();
        }, trayShown});
    SetupViewPorts viewPorts;
    viewPorts.installed = installed;
    viewPorts.relaunch = [defaults, &weak] {
      defaults->set({{SetupModel::kResumeStepKey, static_cast<int>(SetupModel::Step::permissions)}});
      HostRelaunch::relaunch([&weak] {
        if (auto c = weak.lock()) c->quit();
      });
    };
    setup = std::make_unique<SetupWindowController>(model, std::move(viewPorts));
    model->refresh();
    model->startPolling();
    setup->show();
    return true;
  };
  ports.windows.makeInputAccess = [clipboard, main, probe = ports.probe, installed]() -> std::unique_ptr<HostWindow> {
    std::error_code ignored;
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
    return std::make_unique<InputAccess>(HostPermissions::grantCommand(executable, installed),
                                         [probe] { return probe && probe->mayPostInput(); }, clipboard, main);
  };
  ports.windows.showPanel = [&panel, &weakTray] {
    const auto item = weakTray.lock();
    if (panel && item && !panel->isOpen()) panel->open(item->geometry());
  };
  ports.windows.makeMain = [&weak, main]() -> std::unique_ptr<HostWindow> {
    auto c = weak.lock();
    if (!c) return nullptr;
    return std::make_unique<MainWindow>(c->panelModel(), main);
  };
  auto controller = std::make_shared<MenuBarHostController>(settings, std::move(store), std::move(ports));
  weak = controller;
  // Started again: the running instance shows itself.
  InstanceChannel channel(InstanceChannel::socketPath(InstanceLock::path()), [&weak] {
    if (auto c = weak.lock()) c->activate();
  });
  if (!channel.listening()) Log::line("[app] WARN: a second start cannot reach this one (" + channel.error() + ")");
  // A tray over D-Bus that starts later announces itself by taking this name.
  QDBusServiceWatcher trayWatcher("org.kde.StatusNotifierWatcher", QDBusConnection::sessionBus(),
                                  QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
  QObject::connect(&trayWatcher, &QDBusServiceWatcher::serviceRegistered, [&weak] {
    if (auto c = weak.lock()) c->trayMayHaveAppeared();
  });
  QObject::connect(&trayWatcher, &QDBusServiceWatcher::serviceUnregistered, [&weak] {
    if (auto c = weak.lock()) c->trayMayHaveGone();
  });
  // An XEmbed tray announces itself on the root window.
  TrayAnnouncement xembedTray(
      [&weak] {
        Log::line("[menubar] a tray announced itself");
        if (auto c = weak.lock()) c->trayMayHaveAppeared();
      },
      [&weak] {
        if (auto c = weak.lock()) c->trayMayHaveGone();
      });

  panel = std::make_unique<PanelPopup>(controller->panelModel(), main);
  controller->setPanelCloser([&panel](std::function<void()> operation) {
    if (panel) panel->runClosing(std::move(operation));
  });
  QObject::connect(panel.get(), &PanelPopup::menuRequested, panel.get(), [&weakTray](QPoint at) {
    if (const auto item = weakTray.lock()) item->openMenu(at);
  });
  tray->attachMenu(std::make_unique<ClassicMenu>(
      [&weak] {
        auto c = weak.lock();
        return c ? MenuBuilder::build(*c) : MenuDescription{};
      },
      [&weak](const MenuItem& item) {
        if (auto c = weak.lock()) MenuBuilder::run(item, *c);
      }));

  std::unique_ptr<QSocketNotifier> signalWatch;
  if (signalFd >= 0) {
    signalWatch = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
    QObject::connect(signalWatch.get(), &QSocketNotifier::activated, [signalFd, &weak] {
      signalfd_siginfo info{};
      while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        Log::line(std::string("[menubar] ") + signalName(static_cast<int>(info.ssi_signo)) + " — stopping");
        if (auto c = weak.lock()) c->quit();
      }
    });
  }
  main->post([&weak] {
    if (auto c = weak.lock()) c->launch();
  });
  app.exec();

  const bool clean = controller->stoppedCleanly();
  VirtualDisplayManager::removeAllAdded();
  if (!clean) {
    // The serve queue may still be inside a session call: joining it could
    // take forever, so the process leaves without the destructors.
    Log::line("[menubar] exiting with serving not stopped");
    std::_Exit(1);
  }
  PairingSupport::installAlertApprover(nullptr);
  signalWatch.reset();
  setup.reset();
  panel.reset();
  controller.reset();
  tray.reset();
  if (signalFd >= 0) ::close(signalFd);
  Log::line("[menubar] stopped");
  if (relaunch) {
    // The instance lock closes on exec, so the new image takes it again.
    std::vector<std::string> args = arguments;
    if (args.empty()) args.push_back("lumenrailhost");
    std::vector<char*> argvOut;
    for (auto& a : args) argvOut.push_back(a.data());
    argvOut.push_back(nullptr);
    std::fflush(nullptr);
    ::execv("/proc/self/exe", argvOut.data());
    Log::line("[menubar] WARN: relaunch failed — start Lumenrail again");
  }
  return 0;
}

std::optional<int> claimInstance() {
  // A shared runtime folder could hold anyone's lock and socket: ours go elsewhere.
  if (const std::string why = InstanceLock::runtimeFolderRefusal(); !why.empty()) {
    Log::line("[app] WARN: XDG_RUNTIME_DIR is not this user's alone (" + why + ") — keeping the instance lock in " +
              std::filesystem::path(InstanceLock::path()).parent_path().string());
  }
  const auto lock = InstanceLock::acquire(InstanceLock::path());
  if (lock.holder) {
    Log::line("[app] another Lumenrail Host is already running (pid " + std::to_string(*lock.holder) +
              ") — leaving it be, exiting");
    // On Linux a second start shows nothing by itself: the running one is asked to.
    Log::line(InstanceChannel::askToShow(InstanceChannel::socketPath(InstanceLock::path()), kActivationWaitNs)
                  ? "[app] asked it to show its window"
                  : "[app] it did not answer — its window could not be brought forward");
    return 0;
  }
  if (!lock.held) Log::line("[app] WARN: cannot take the single-instance lock (" + lock.error + ") — going on");
  return std::nullopt;
}

int runApplication(const std::vector<std::string>& arguments, bool installed) {
  auto store = std::make_shared<UserDefaultsSettingsStore>(UserDefaults::standard());
  return runMenuBarHost(HostEntry::resolve(store->load(), arguments), store, arguments, installed);
}

}  // namespace lumenrail
