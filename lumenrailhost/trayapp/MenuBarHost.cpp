#include "trayapp/MenuBarHost.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <algorithm>

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
#include "secure/WifiKeySchedule.hpp"
#include "session/PairingSupport.hpp"
#include "settings/HostDataRemoval.hpp"
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
  RealUpdateChecker(UpdateCheckerRequest request, const Environment& env, const std::shared_ptr<Executor>& main)
      : checker_(request.running, request.platform, env, Log::line, request.onUpdate, request.onVerdict, main) {}
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

// What the start-up reads of the command line and the environment, once.
struct TrayStartup {
  std::vector<std::string> arguments;
  bool installed = false;
  bool setupRequested = false;  // "--setup"
  Environment env;
  std::string desktop;  // $XDG_CURRENT_DESKTOP
  std::string path;  // $PATH
  std::string logFile;
  ServeSwitches switches;
};

TrayStartup readStartup(std::vector<std::string> arguments, bool installed) {
  TrayStartup startup;
  startup.env = processEnvironment();
  startup.setupRequested = std::find(arguments.begin(), arguments.end(), "--setup") != arguments.end();
  if (const auto desktop = startup.env.find("XDG_CURRENT_DESKTOP"); desktop != startup.env.end()) {
    startup.desktop = desktop->second;
  }
  const auto path = startup.env.find("PATH");
  startup.path = path != startup.env.end() ? path->second : "/usr/bin:/bin";
  if (const std::string folder = Paths::logDirectory(startup.env); !folder.empty()) {
    startup.logFile = folder + "/host.log";
  }
  // The session's switches are read here, once, for every session of this run.
  startup.switches = ServeSwitches::read(arguments, startup.env);
  startup.arguments = std::move(arguments);
  startup.installed = installed;
  return startup;
}

// Picks the windows' platform before Qt starts: Qt ends the process when it
// cannot reach its display, so an unreachable one is refused with a reason.
bool chooseGuiPlatform(const Environment& env) {
  const GuiPlatform choice = GuiPlatform::forThisProcess(env);
  if (!choice.refusal.empty()) {
    Log::line("[app] ERROR: the tray application cannot show its windows: " + choice.refusal +
              " — use --m2 to serve without them");
    return false;
  }
  if (!choice.warning.empty()) Log::line("[app] WARN: " + choice.warning);
  std::string platform = choice.qpa;
  if (!platform.empty()) {
    ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
  } else if (const auto given = env.find("QT_QPA_PLATFORM"); given != env.end()) {
    platform = given->second;
  }
  if (platform != "xcb") return true;
  // Only where the windows go to an X server (an X desktop, or the user asked for xcb).
  if (const auto why = DesktopChoice::whyNoXDisplay()) {
    Log::line("[app] ERROR: the tray application cannot reach the X display (" + *why +
              ") — use --m2 to serve without a desktop");
    return false;
  }
  return true;
}

// Blocked before Qt starts its threads, so the stop signals reach only the
// descriptor that the main loop watches.
int blockStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  return ::signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
}

void styleApplication() {
  QApplication::setQuitOnLastWindowClosed(false);
  QApplication::setApplicationName("Lumenrail");
  QApplication::setDesktopFileName("lumenrail-host");
  // Every window carries it (_NET_WM_ICON), About and the welcome step show it.
  QApplication::setWindowIcon(AppIcon::icon());
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  Appearance::instance().followDesktop();
  Log::line("[app] windows on Qt's " + QGuiApplication::platformName().toStdString() + " platform");
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

// The tray application while its main loop runs: the controller with its
// ports on Qt and the desktop, the tray icon, the panel and the menu, and
// what watches for a tray, a second start and the stop signals. Made on the
// stack of runMenuBarHost; every callback reaches the controller weakly.
class TrayApplication {
 public:
  TrayApplication(const HostSettings& settings, std::shared_ptr<HostSettingsStore> store, const TrayStartup& startup,
                  int signalFd);
  ~TrayApplication();
  TrayApplication(const TrayApplication&) = delete;
  TrayApplication& operator=(const TrayApplication&) = delete;

  // Runs the main loop until the controller ends it.
  void run();
  bool stoppedCleanly() const { return controller_->stoppedCleanly(); }
  // The owner asked for a start again (the settings' language, the setup's
  // capture grant): done once this application is gone.
  bool relaunchAsked() const { return relaunch_; }

 private:
  void makeTray();
  SettingsPorts settingsPorts();
  MenuBarHostController::Ports controllerPorts(const SettingsPorts& settingsPorts);
  void addWindows(WindowSeams& windows, const SettingsPorts& settingsPorts,
                  const std::shared_ptr<HostPermissions::Probe>& probe);
  void showSetup(const std::shared_ptr<UserDefaults>& defaults, const std::shared_ptr<HostPermissions::Probe>& probe);
  void watchTrayAndSecondStarts();
  void attachPanelAndMenu();
  void watchStopSignals(int signalFd);
  // Quits, then starts this program again.
  void relaunch();
  // Runs `work` on the controller while there is one.
  void withController(const std::function<void(MenuBarHostController&)>& work) const;
  bool trayShown() const;

  const TrayStartup& startup_;
  const std::shared_ptr<QtMainExecutor> main_ = std::make_shared<QtMainExecutor>();
  const std::shared_ptr<QtAlertRunner> alerts_ = std::make_shared<QtAlertRunner>();
  const std::shared_ptr<QtClipboard> clipboard_ = std::make_shared<QtClipboard>();
  const std::shared_ptr<ChildProcesses> children_ = std::make_shared<ChildProcesses>();
  const std::shared_ptr<XdgOpener> opener_ = std::make_shared<XdgOpener>(children_);
  std::shared_ptr<TrayStatusItem> tray_;
  std::unique_ptr<PanelPopup> panel_;
  // Replaced on every showing; a finish or a close leaves the step stored.
  std::unique_ptr<SetupWindowController> setup_;
  std::shared_ptr<MenuBarHostController> controller_;
  std::weak_ptr<MenuBarHostController> weak_;
  std::unique_ptr<InstanceChannel> channel_;
  std::unique_ptr<QDBusServiceWatcher> trayWatcher_;
  std::unique_ptr<TrayAnnouncement> xembedTray_;
  std::unique_ptr<QSocketNotifier> signalWatch_;
  bool relaunch_ = false;
};

TrayApplication::TrayApplication(const HostSettings& settings, std::shared_ptr<HostSettingsStore> store,
                                 const TrayStartup& startup, int signalFd)
    : startup_(startup) {
  PairingSupport::installAlertApprover(std::make_shared<PairingSupport::AlertApprover>(main_, alerts_));
  makeTray();
  controller_ = std::make_shared<MenuBarHostController>(settings, std::move(store), controllerPorts(settingsPorts()));
  weak_ = controller_;
  watchTrayAndSecondStarts();
  attachPanelAndMenu();
  watchStopSignals(signalFd);
}

// The order matters: nothing that calls the controller outlives it, and the
// tray goes last.
TrayApplication::~TrayApplication() {
  PairingSupport::installAlertApprover(nullptr);
  signalWatch_.reset();
  xembedTray_.reset();
  trayWatcher_.reset();
  channel_.reset();
  setup_.reset();
  panel_.reset();
  controller_.reset();
  tray_.reset();
}

void TrayApplication::withController(const std::function<void(MenuBarHostController&)>& work) const {
  if (const auto c = weak_.lock()) work(*c);
}

bool TrayApplication::trayShown() const {
  const auto c = weak_.lock();
  return c && c->trayDocked();
}

void TrayApplication::run() {
  main_->post([this] { withController([](MenuBarHostController& c) { c.launch(); }); });
  QApplication::exec();
}

void TrayApplication::relaunch() {
  relaunch_ = true;
  withController([](MenuBarHostController& c) { c.quit(); });
}

void TrayApplication::makeTray() {
  TrayStatusItem::Actions actions;
  actions.toggleServing = [this] { withController([](MenuBarHostController& c) { c.toggleServing(); }); };
  actions.quit = [this] { withController([](MenuBarHostController& c) { c.quit(); }); };
  actions.primaryClick = [this] {
    if (panel_ && tray_) panel_->toggle(tray_->geometry());
  };
  actions.menuOpening = [this] {
    if (panel_ && panel_->isOpen()) panel_->close();
  };
  tray_ = std::make_shared<TrayStatusItem>(std::move(actions));
}

SettingsPorts TrayApplication::settingsPorts() {
  SettingsPorts ports;
  ports.loginItem = std::make_shared<SystemLoginItem>();
  ports.opener = opener_;
  ports.clipboard = clipboard_;
  ports.launch = [children = children_](const std::vector<std::string>& argv) {
    return children->start(argv).has_value();
  };
  ports.relaunch = [this] { relaunch(); };
  ports.main = main_;
  ports.desktop = startup_.desktop;
  ports.path = startup_.path;
  ports.logFile = startup_.logFile;
  return ports;
}

MenuBarHostController::Ports TrayApplication::controllerPorts(const SettingsPorts& settingsPorts) {
  MenuBarHostController::Ports ports;
  ports.main = main_;
  ports.serveQueue = std::make_shared<SerialQueue>(MenuBarHostController::kServeQueueLabel);
  ports.statusItem = tray_;
  ports.alerts = alerts_;
  ports.opener = opener_;
  ports.defaults = UserDefaults::standard();
  const auto desktop = DesktopChoice::forTray();
  ports.probe = desktop->makePermissionProbe();
  ports.notifier = DBusNotifier::onSessionBus();
  ports.displayAwake = desktop->makeDisplayAwake(MenuBarHostController::kDisplayAwakeReason);
  ports.makeSession = [main = main_, switches = startup_.switches](
                          const SessionConfig& config) -> std::shared_ptr<ServingSession> {
    return std::make_shared<PipelineServingSession>(config, switches, main);
  };
  ports.loadPairing = [] { return PairingSupport::load(PairingSupport::alertApprove, PairingSupport::alertCancel); };
  ports.makeUpdateChecker = [main = main_, env = startup_.env](
                                UpdateCheckerRequest request) -> std::unique_ptr<UpdateCheckerHandle> {
    return std::make_unique<RealUpdateChecker>(std::move(request), env, main);
  };
  ports.randomKey = WifiKeySchedule::randomPsk;
  ports.terminate = [] { QCoreApplication::exit(0); };
  ports.installed = startup_.installed;
  ports.setupRequested = startup_.setupRequested;
  ports.renamePrompt = std::make_shared<QtRenamePrompt>();
  ports.loginItem = settingsPorts.loginItem;
  ports.removeHostData = [env = startup_.env] {
    if (const auto targets = HostDataRemoval::Targets::live(env)) HostDataRemoval::remove(*targets);
  };
  ports.exitProcess = [] {
    VirtualDisplayManager::removeAllAdded();
    std::fflush(nullptr);
    std::_Exit(0);
  };
  addWindows(ports.windows, settingsPorts, ports.probe);
  ports.windows.showSetup = [this, defaults = ports.defaults, probe = ports.probe] {
    showSetup(defaults, probe);
    return true;
  };
  return ports;
}

void TrayApplication::addWindows(WindowSeams& windows, const SettingsPorts& settingsPorts,
                                 const std::shared_ptr<HostPermissions::Probe>& probe) {
  windows.makeSettings = [settingsPorts](std::shared_ptr<HostSettingsModel> model) -> std::unique_ptr<HostWindow> {
    return std::make_unique<SettingsWindow>(std::move(model), settingsPorts);
  };
  windows.makeAbout = [clipboard = clipboard_, opener = opener_]() -> std::unique_ptr<HostWindow> {
    return std::make_unique<AboutWindow>(clipboard, opener);
  };
  windows.makeQr = [this](uint16_t port, std::optional<Bytes> psk,
                          std::function<int64_t()> clientCount) -> std::unique_ptr<QrWindowPort> {
    QrWindowModel::Ports qrPorts;
    qrPorts.trayShown = [this] { return trayShown(); };
    qrPorts.clientCount = std::move(clientCount);
    qrPorts.clipboard = clipboard_;
    qrPorts.main = main_;
    return std::make_unique<QrWindow>(port, std::move(psk), std::move(qrPorts));
  };
  windows.makeInputAccess = [clipboard = clipboard_, main = main_, probe,
                             installed = startup_.installed]() -> std::unique_ptr<HostWindow> {
    std::error_code ignored;
    const std::string executable = std::filesystem::read_symlink("/proc/self/exe", ignored).string();
    return std::make_unique<InputAccess>(HostPermissions::grantCommand(executable, installed),
                                         [probe] { return probe && probe->mayPostInput(); }, clipboard, main);
  };
  windows.showPanel = [this] {
    if (panel_ && tray_ && !panel_->isOpen()) panel_->open(tray_->geometry());
  };
  windows.makeMain = [this]() -> std::unique_ptr<HostWindow> {
    const auto c = weak_.lock();
    if (!c) return nullptr;
    return std::make_unique<MainWindow>(c->panelModel(), main_);
  };
}

void TrayApplication::showSetup(const std::shared_ptr<UserDefaults>& defaults,
                                const std::shared_ptr<HostPermissions::Probe>& probe) {
  if (setup_) {
    setup_->close();
    setup_.release()->deleteLater();
  }
  auto finish = [this](bool openAtLogin) {
    withController([openAtLogin](MenuBarHostController& c) { c.finishSetup(openAtLogin); });
    if (setup_) {
      setup_->close();
      // The finish runs inside the window's own button press.
      setup_.release()->deleteLater();
    }
  };
  auto openAccessibility = [this] {
    withController([](MenuBarHostController& c) { c.openAccessibilitySettings(); });
  };
  auto model = std::make_shared<SetupModel>(
      std::move(finish), std::nullopt,
      SetupModel::Ports{defaults, probe, main_, startup_.installed, Log::line, std::move(openAccessibility),
                        [this] { return trayShown(); }});
  SetupViewPorts viewPorts;
  viewPorts.installed = startup_.installed;
  viewPorts.relaunch = [this, defaults] {
    defaults->set({{SetupModel::kResumeStepKey, static_cast<int>(SetupModel::Step::permissions)}});
    relaunch();
  };
  setup_ = std::make_unique<SetupWindowController>(model, std::move(viewPorts));
  model->refresh();
  model->startPolling();
  setup_->show();
}

void TrayApplication::watchTrayAndSecondStarts() {
  // Started again: the running instance shows itself.
  channel_ = std::make_unique<InstanceChannel>(InstanceChannel::socketPath(InstanceLock::path(startup_.env)), [this] {
    withController([](MenuBarHostController& c) { c.activate(); });
  });
  if (!channel_->listening()) Log::line("[app] WARN: a second start cannot reach this one (" + channel_->error() + ")");
  const auto appeared = [this] { withController([](MenuBarHostController& c) { c.trayMayHaveAppeared(); }); };
  const auto gone = [this] { withController([](MenuBarHostController& c) { c.trayMayHaveGone(); }); };
  // A tray over D-Bus that starts later announces itself by taking this name.
  trayWatcher_ = std::make_unique<QDBusServiceWatcher>(
      "org.kde.StatusNotifierWatcher", QDBusConnection::sessionBus(),
      QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration);
  QObject::connect(trayWatcher_.get(), &QDBusServiceWatcher::serviceRegistered, appeared);
  QObject::connect(trayWatcher_.get(), &QDBusServiceWatcher::serviceUnregistered, gone);
  // An XEmbed tray announces itself on the root window.
  xembedTray_ = std::make_unique<TrayAnnouncement>(
      [appeared] {
        Log::line("[menubar] a tray announced itself");
        appeared();
      },
      gone);
}

void TrayApplication::attachPanelAndMenu() {
  panel_ = std::make_unique<PanelPopup>(controller_->panelModel(), main_);
  controller_->setPanelCloser([this](std::function<void()> operation) {
    if (panel_) panel_->runClosing(std::move(operation));
  });
  QObject::connect(panel_.get(), &PanelPopup::menuRequested, panel_.get(), [this](QPoint at) {
    if (tray_) tray_->openMenu(at);
  });
  tray_->attachMenu(std::make_unique<ClassicMenu>(
      [this] {
        const auto c = weak_.lock();
        return c ? MenuBuilder::build(*c) : MenuDescription{};
      },
      [this](const MenuItem& item) {
        withController([&item](MenuBarHostController& c) { MenuBuilder::run(item, c); });
      }));
}

void TrayApplication::watchStopSignals(int signalFd) {
  if (signalFd < 0) return;
  signalWatch_ = std::make_unique<QSocketNotifier>(signalFd, QSocketNotifier::Read);
  QObject::connect(signalWatch_.get(), &QSocketNotifier::activated, [this, signalFd] {
    signalfd_siginfo info{};
    while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
      Log::line(std::string("[menubar] ") + signalName(static_cast<int>(info.ssi_signo)) + " — stopping");
      withController([](MenuBarHostController& c) { c.quit(); });
    }
  });
}

}  // namespace

int runMenuBarHost(const HostSettings& settings, std::shared_ptr<HostSettingsStore> store,
                   std::vector<std::string> arguments, bool installed) {
  Log::line("== lumenrail Linux host — tray application ==");
  const TrayStartup startup = readStartup(std::move(arguments), installed);
  if (!chooseGuiPlatform(startup.env)) return 2;
  const int signalFd = blockStopSignals();
  bool relaunch = false;
  {
    int argc = 1;
    char name[] = "lumenrailhost";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    styleApplication();
    TrayApplication tray(settings, std::move(store), startup, signalFd);
    tray.run();
    const bool clean = tray.stoppedCleanly();
    VirtualDisplayManager::removeAllAdded();
    relaunch = tray.relaunchAsked();
    if (!clean) {
      // The serve queue may still be inside a session call: joining it could
      // take forever, so the process leaves without the destructors (and a
      // relaunch the user asked for still happens).
      Log::line("[menubar] exiting with serving not stopped");
      if (relaunch) HostRelaunch::execAgain(startup.arguments);
      std::_Exit(1);
    }
  }
  // Qt is gone by now (its clipboard handed over, its connections closed), so
  // the new image starts from a clean process.
  if (signalFd >= 0) ::close(signalFd);
  Log::line("[menubar] stopped");
  if (relaunch) HostRelaunch::execAgain(startup.arguments);
  return 0;
}

std::optional<int> claimInstance() {
  const std::string lockPath = InstanceLock::path();
  // A shared runtime folder could hold anyone's lock and socket: ours go elsewhere.
  if (const std::string why = InstanceLock::runtimeFolderRefusal(); !why.empty()) {
    Log::line("[app] WARN: XDG_RUNTIME_DIR is not this user's alone (" + why + ") — keeping the instance lock in " +
              std::filesystem::path(lockPath).parent_path().string());
  }
  const auto lock = InstanceLock::acquire(lockPath);
  if (lock.holder) {
    Log::line("[app] another Lumenrail Host is already running (pid " + std::to_string(*lock.holder) +
              ") — leaving it be, exiting");
    // On Linux a second start shows nothing by itself: the running one is asked to.
    Log::line(InstanceChannel::askToShow(InstanceChannel::socketPath(lockPath), kActivationWaitNs)
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
