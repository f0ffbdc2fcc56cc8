#include "MenuBarHost.hpp"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <string_view>

#include "HostEntry.hpp"
#include "InstanceLock.hpp"
#include "M2Session.hpp"
#include "MenuBarHostController.hpp"
#include "PairingSupport.hpp"
#include "XdgOpener.hpp"
#include "links/WifiKeySchedule.hpp"
#include "media/DisplaySleepAssertion.hpp"
#include "media/VirtualDisplayManager.hpp"
#include "platform/Log.hpp"
#include "platform/X11Display.hpp"
#include "platform/UserDefaults.hpp"
#include "settings/UpdateChecker.hpp"

// After the host's headers: Qt's keyword macros clash with some of their names.
#include "Appearance.hpp"
#include "DBusNotifier.hpp"
#include "QtAlertRunner.hpp"
#include "QtMainQueue.hpp"
#include "QtPorts.hpp"
#include "TrayStatusItem.hpp"

#include <QApplication>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>

namespace lumenrail {

namespace {

class XSleepAssertion final : public SleepAssertion {
 public:
  XSleepAssertion() : assertion_(MenuBarHostController::kDisplayAwakeReason) {}
  bool acquire() override { return assertion_.acquire(); }
  void release() override { assertion_.release(); }

 private:
  DisplaySleepAssertion assertion_;
};

class RealUpdateChecker final : public UpdateCheckerHandle {
 public:
  RealUpdateChecker(UpdateCheckerSpec spec, const std::shared_ptr<MainQueue>& main)
      : checker_(spec.running, spec.platform, processEnvironment(), Log::line, spec.onUpdate, spec.onVerdict,
                 [main](std::function<void()> work) { main->post(std::move(work)); }) {}
  void start() override { checker_.start(); }
  void stop() override { checker_.stop(); }

 private:
  UpdateChecker checker_;
};

// Qt ends the process when it cannot reach its display; say why and refuse instead.
bool displayReachable() {
  const char* qpa = std::getenv("QT_QPA_PLATFORM");
  if (qpa && *qpa && std::string_view(qpa) != "xcb") return true;
  try {
    X11Display::open("");
    return true;
  } catch (const std::exception& e) {
    Log::line("[app] ERROR: the tray application needs an X display (" + std::string(e.what()) +
              ") — use --m2 to serve without a desktop");
    return false;
  }
}

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
  Log::line("== lumenrail Linux host — menu-bar ==");
  if (!displayReachable()) return 2;
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
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  Appearance::instance().followDesktop();

  auto main = std::make_shared<QtMainQueue>();
  auto alerts = std::make_shared<QtAlertRunner>();
  PairingSupport::installAlertApprover(std::make_shared<PairingSupport::AlertApprover>(main, alerts));

  std::weak_ptr<MenuBarHostController> weak;
  TrayStatusItem::Actions trayActions;
  trayActions.toggleServing = [&weak] {
    if (auto c = weak.lock()) c->toggleServing();
  };
  trayActions.quit = [&weak] {
    if (auto c = weak.lock()) c->quit();
  };
  auto tray = std::make_shared<TrayStatusItem>(std::move(trayActions));

  MenuBarHostController::Ports ports;
  ports.main = main;
  ports.serveQueue = std::make_shared<SerialQueueExecutor>(MenuBarHostController::kServeQueueLabel);
  ports.timers = qtTimers();
  ports.statusItem = tray;
  ports.alerts = alerts;
  ports.opener = std::make_shared<XdgOpener>();
  ports.defaults = UserDefaults::standard();
  ports.probe = std::make_shared<HostPermissions::LinuxProbe>();
  ports.notifier = DBusNotifier::onSessionBus();
  ports.displayAwake = std::make_shared<XSleepAssertion>();
  ports.makeSession = [main, arguments](const SessionConfig& config) -> std::shared_ptr<ServingSession> {
    return std::make_shared<M2Session>(config, arguments, main);
  };
  ports.loadPairing = [] { return PairingSupport::load(PairingSupport::alertApprove, PairingSupport::alertCancel); };
  ports.makeUpdateChecker = [main](UpdateCheckerSpec spec) -> std::unique_ptr<UpdateCheckerHandle> {
    return std::make_unique<RealUpdateChecker>(std::move(spec), main);
  };
  ports.randomKey = WifiKeySchedule::randomPsk;
  ports.terminate = [] { QCoreApplication::exit(0); };
  ports.installed = installed;
  ports.arguments = arguments;
  auto controller = std::make_shared<MenuBarHostController>(settings, std::move(store), std::move(ports));
  weak = controller;

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
  QTimer::singleShot(0, [&weak] {
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
  controller.reset();
  tray.reset();
  if (signalFd >= 0) ::close(signalFd);
  Log::line("[menubar] stopped");
  return 0;
}

int runApplication(const std::vector<std::string>& arguments, bool installed) {
  const auto lock = InstanceLock::acquire(InstanceLock::path());
  if (lock.holder) {
    Log::line("[app] another Lumenrail Host is already running (pid " + std::to_string(*lock.holder) +
              ") — leaving it be, exiting");
    return 0;
  }
  if (!lock.held) Log::line("[app] WARN: cannot take the single-instance lock (" + lock.error + ") — going on");
  auto store = std::make_shared<UserDefaultsSettingsStore>(UserDefaults::standard());
  const auto resolved = HostEntry::resolve(store->load(), arguments);
  if (resolved.portError) Log::line("[app] WARN: " + *resolved.portError + " — using the stored port");
  return runMenuBarHost(resolved.settings, store, arguments, installed);
}

}  // namespace lumenrail
