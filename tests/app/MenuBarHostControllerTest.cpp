// The tray controller over fakes: manual main and serve executors (the main
// one's clock and timers are the controller's), a fake session, tray icon and alerts.
#include <gtest/gtest.h>

#include <deque>

#include "app/controller/MenuBarHostController.hpp"
#include "app/panel/PanelPresenter.hpp"
#include "app/windows/SettingsPages.hpp"
#include "app/windows/SetupModel.hpp"
#include "FakePanelSource.hpp"
#include "FakeServingSession.hpp"
#include "platform/Ed25519.hpp"
#include "secure/PairedDevicesStore.hpp"
#include "support/AppPortFakes.hpp"
#include "support/FakeAlert.hpp"
#include "support/ManualExecutor.hpp"
#include "support/TempFolder.hpp"
#include "text/L10n.hpp"

namespace lumenrail {
namespace {


struct Rig {
  test::ManualExecutor main, serve;
  std::vector<std::string> calls, lines, errors;
  std::optional<PairingPrologue::Pairing> pairing;  // what loading the pairing gives
  std::vector<std::shared_ptr<test::FakeServingSession>> sessions;
  std::vector<ServingPhase> glyph;
  std::vector<std::shared_ptr<test::FakeAlert>> alerts;
  std::optional<int> alertAnswer = 1001;
  std::vector<UpdateCheckerRequest> updateRequests;
  std::shared_ptr<test::FakeProbe> grants = std::make_shared<test::FakeProbe>();
  test::TempFolder dir{"lumenrail-controller"};
  std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir.path("defaults.json"), "lumenrail");
  bool held = false;
  int terminated = 0;
  bool startResult = true;
  std::string failure;  // what a failed start says
  std::vector<Notifier::Notification> notices;
  std::shared_ptr<InMemorySettingsStore> store;
  std::shared_ptr<MenuBarHostController> c;

  bool trayUp = true;
  struct Item final : StatusItem {
    Rig* rig;
    bool available() const override { return rig->trayUp; }
    void show(ServingPhase phase) override { rig->glyph.push_back(phase); }
    void dock() override { rig->calls.push_back("dock"); }
  };
  struct Alerts final : AlertRunner {
    Rig* rig;
    std::shared_ptr<ModalAlert> make(const Content& content) override {
      auto a = std::make_shared<test::FakeAlert>();
      a->turn = [main = &rig->main] { return main->runOne(); };
      a->answer = rig->alertAnswer;
      rig->calls.push_back("alert " + content.title);
      rig->alerts.push_back(a);
      return a;
    }
  };
  struct Sleep final : SleepAssertion {
    Rig* rig;
    bool acquire() override { return rig->held = true; }
    void release() override { rig->held = false; }
  };
  struct Window final : HostWindow {
    Rig* rig;
    std::string name;
    bool visible = false;
    void show() override {
      visible = true;
      rig->calls.push_back("show " + name);
    }
    bool isVisible() const override { return visible; }
    void hide() override { visible = false; }
  };
  struct Qr final : QrWindowPort {
    Rig* rig;
    uint16_t port;
    std::optional<Bytes> psk;
    std::function<int64_t()> clientCount;
    void show(bool serving) override { rig->calls.push_back(serving ? "show qr serving" : "show qr stopped"); }
  };
  std::vector<Qr*> qrWindows;
  std::vector<Window*> windows;
  struct Login final : LoginItemPort {
    Rig* rig;
    bool available() const override { return true; }
    bool isEnabled() const override { return true; }
    std::optional<LoginItem::Note> setEnabled(bool on) override {
      rig->calls.push_back(on ? "login on" : "login off");
      return std::nullopt;
    }
  };
  struct Notices final : Notifier {
    Rig* rig;
    void authorize(std::function<void(bool, const std::string&)> done) override { done(true, ""); }
    void post(const Notification& n, std::function<void(const std::string&)> done) override {
      rig->notices.push_back(n);
      done("");
    }
  };
  struct Checker final : UpdateCheckerHandle {
    Rig* rig;
    void start() override { rig->calls.push_back("check start"); }
    void stop() override { rig->calls.push_back("check stop"); }
  };

  explicit Rig(HostSettings settings = HostSettings::cliDefaults(), bool installed = false) {
    settings.autoStart = false;
    store = std::make_shared<InMemorySettingsStore>(settings);
    MenuBarHostController::Ports p;
    p.main = std::shared_ptr<Executor>(&main, [](Executor*) {});
    p.serveQueue = std::shared_ptr<Executor>(&serve, [](Executor*) {});
    auto item = std::make_shared<Item>();
    item->rig = this;
    p.statusItem = item;
    auto runner = std::make_shared<Alerts>();
    runner->rig = this;
    p.alerts = runner;
    grants->screen = grants->input = true;
    p.probe = grants;
    auto sleep = std::make_shared<Sleep>();
    sleep->rig = this;
    p.displayAwake = sleep;
    p.makeSession = [this](const SessionConfig& config) {
      auto s = std::make_shared<test::FakeServingSession>(&calls, config);
      s->startResult = startResult;
      s->failure = failure;
      sessions.push_back(s);
      return s;
    };
    p.randomKey = [n = 0](int64_t count) mutable { return Bytes(static_cast<size_t>(count), uint8_t(++n)); };
    p.makeUpdateChecker = [this](UpdateCheckerRequest request) -> std::unique_ptr<UpdateCheckerHandle> {
      updateRequests.push_back(request);
      auto checker = std::make_unique<Checker>();
      checker->rig = this;
      return checker;
    };
    p.terminate = [this] { ++terminated; };
    p.installed = installed;
    p.defaults = defaults;
    auto login = std::make_shared<Login>();
    login->rig = this;
    p.loginItem = login;
    p.removeHostData = [this] { calls.push_back("remove data"); };
    auto notices = std::make_shared<Notices>();
    notices->rig = this;
    p.notifier = notices;
    p.exitProcess = [this] { calls.push_back("exit"); };
    auto window = [this](std::string name) {
      auto w = std::make_unique<Window>();
      w->rig = this;
      w->name = std::move(name);
      windows.push_back(w.get());
      return w;
    };
    p.windows.makeSettings = [window](std::shared_ptr<HostSettingsModel>) { return window("settings"); };
    p.windows.makeAbout = [window] { return window("about"); };
    p.windows.makeMain = [window] { return window("main"); };
    p.windows.makeInputAccess = [window] { return window("input access"); };
    p.windows.showPanel = [this] { calls.push_back("show panel"); };
    p.windows.makeQr = [this](uint16_t port, std::optional<Bytes> psk, std::function<int64_t()> count) {
      auto q = std::make_unique<Qr>();
      q->rig = this;
      q->port = port;
      q->psk = std::move(psk);
      q->clientCount = std::move(count);
      qrWindows.push_back(q.get());
      return q;
    };
    p.log = [this](const std::string& line) { lines.push_back(line); };
    p.errorLog = [this](const std::string& line) { errors.push_back(line); };
    p.loadPairing = [this] { return pairing; };
    c = std::make_shared<MenuBarHostController>(settings, store, std::move(p));
  }
  void serveNow() {
    c->startServing();
    serve.runReady();
    main.runReady();
    ASSERT_EQ(c->phase(), ServingPhase::serving);
  }
  bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

TEST(MenuBarHostController, ServingStatesIgnoreRequestsOutOfTurnAndAFailedStartLetsTheDisplaySleep) {
  HostSettings secure = HostSettings::cliDefaults();
  secure.secureWifi = true;
  Rig rig(secure);
  rig.c->startServing();
  EXPECT_EQ(rig.c->phase(), ServingPhase::starting);
  EXPECT_TRUE(rig.held);
  rig.c->toggleServing();  // a second toggle while starting
  rig.c->stopServing();    // no session yet
  rig.c->startServing();
  EXPECT_EQ(rig.sessions.size(), 1u);
  rig.serve.runReady();
  rig.main.runReady();
  EXPECT_EQ(rig.c->phase(), ServingPhase::serving);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"verdict 0 0 ", "start"}));
  EXPECT_EQ(rig.main.pending(), 1u);  // the input-grant poll

  rig.c->stopServing();
  EXPECT_EQ(rig.c->phase(), ServingPhase::stopping);
  rig.c->startServing();  // ignored while stopping
  rig.serve.runReady();
  rig.main.runReady();
  EXPECT_EQ(rig.c->phase(), ServingPhase::stopped);
  EXPECT_FALSE(rig.held);
  EXPECT_EQ(rig.main.pending(), 0u);  // the poll is gone with the session
  EXPECT_EQ(rig.glyph, (std::vector<ServingPhase>{ServingPhase::starting, ServingPhase::serving,
                                                  ServingPhase::stopping, ServingPhase::stopped}));

  // Every start draws a fresh 24-byte key; without secure Wi-Fi there is none.
  rig.serveNow();
  ASSERT_EQ(rig.sessions.size(), 2u);
  ASSERT_TRUE(rig.sessions[0]->config.psk && rig.sessions[1]->config.psk);
  EXPECT_EQ(rig.sessions[0]->config.psk->size(), 24u);
  EXPECT_NE(*rig.sessions[0]->config.psk, *rig.sessions[1]->config.psk);
  EXPECT_EQ(rig.c->psk(), rig.sessions[1]->config.psk);

  Rig plain;
  plain.startResult = false;
  plain.failure = "Port 27184 is in use by another program.";
  plain.c->startServing();
  plain.serve.runReady();
  plain.main.runReady();
  // The reason reaches the panel and one notification, and goes at the next start.
  EXPECT_EQ(plain.c->panelModel().state().startFailure, plain.failure);
  ASSERT_EQ(plain.notices.size(), 1u);
  EXPECT_EQ(plain.notices[0].body, plain.failure);
  plain.startResult = true;
  plain.c->startServing();
  EXPECT_EQ(plain.c->panelModel().state().startFailure, std::nullopt);
  EXPECT_EQ(plain.notices.size(), 1u);
  plain.serve.runReady();
  plain.main.runReady();
  plain.c->stopServing();
  plain.serve.runReady();
  plain.main.runReady();
  EXPECT_FALSE(plain.sessions[0]->config.psk.has_value());
  EXPECT_EQ(plain.c->phase(), ServingPhase::stopped);
  EXPECT_FALSE(plain.held);
  EXPECT_EQ(plain.errors, (std::vector<std::string>{"[menubar] pipeline failed to start (see host log)"}));
  EXPECT_EQ(plain.main.pending(), 0u);
}

TEST(MenuBarHostController, HooksCompletionsAndTimersAfterTheControllerIsGoneDoNothing) {
  Rig rig;
  rig.serveNow();
  rig.c->stopServing();
  auto session = rig.sessions[0];
  rig.c.reset();
  rig.serve.runReady();
  rig.main.runReady();  // the stop's completion finds nobody
  session->hooks.onClientMustUpdate(std::nullopt);
  session->hooks.onClientNamed("Tablet", true);
  rig.main.advance(ServingLifecycle::kQuitWaitNs);
  EXPECT_FALSE(rig.logged("[version] asked the owner to update the app on an unnamed device"));
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"verdict 0 0 ", "start", "stop"}));

  Rig named;
  named.serveNow();
  named.sessions[0]->hooks.onClientMustUpdate(std::nullopt);
  EXPECT_EQ(named.c->clientAppUpdate(), "");
  EXPECT_TRUE(named.logged("[version] asked the owner to update the app on an unnamed device"));
}

TEST(MenuBarHostController, QuitEndsTheLoopOnceServingHasStopped) {
  Rig rig;
  rig.serveNow();
  rig.c->quit();
  rig.c->quit();
  EXPECT_EQ(rig.terminated, 0);
  rig.serve.runReady();
  rig.main.runReady();
  EXPECT_EQ(rig.terminated, 1);
  EXPECT_TRUE(rig.c->stoppedCleanly());
  EXPECT_EQ(std::count(rig.calls.begin(), rig.calls.end(), "stop"), 1);
}

TEST(MenuBarHostController, UpdateChecksAskForThisPlatformAndTheirVerdictReachesTheSession) {
  HostSettings s = HostSettings::cliDefaults();
  s.checkForUpdates = true;
  Rig rig(s);
  rig.c->launch();
  ASSERT_EQ(rig.updateRequests.size(), 1u);
  EXPECT_EQ(rig.updateRequests[0].running, "1.0.9");
  EXPECT_EQ(rig.updateRequests[0].platform, "linux");
  rig.updateRequests[0].onVerdict(HostUpdate::available, "1.1.0", -3);
  rig.serveNow();
  rig.updateRequests[0].onVerdict(HostUpdate::required, "1.2.0", 4);
  HostSettings off = rig.c->settings();
  off.checkForUpdates = false;
  rig.c->settingsChanged(rig.c->settings(), off);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"check start", "verdict 0 1 1.1.0", "start", "verdict 4 2 1.2.0",
                                                 "check stop", "verdict 0 0 "}));
  EXPECT_TRUE(rig.logged("[update] check off (settings: checkForUpdates=false)"));
}

TEST(MenuBarHostController, ItsOwnSettingChangesReachTheSessionOnceWithTheSettingsModelOpen) {
  Rig rig;
  auto model = rig.c->settingsModel();
  rig.serveNow();
  rig.calls.clear();
  rig.c->switchMode(true);
  rig.c->togglePenHighRate();
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"mirror", "pen on"}));
  EXPECT_TRUE(model->settings().captureMain && model->settings().penHighRate);
  EXPECT_EQ(rig.store->load(), rig.c->settings());

  // Picking the mode the settings hold re-applies it to a session in the other mode.
  rig.calls.clear();
  rig.c->switchMode(true);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"mirror"}));
  // An edit in the window arrives once.
  rig.calls.clear();
  model->set(&HostSettings::penHighRate, false);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"pen off"}));
}

TEST(MenuBarHostController, ThePanelFollowsEachChangeItMakesAndItsActionsReachIt) {
  Rig rig;
  auto& panel = rig.c->panelModel();
  int published = 0;
  panel.observe([&] { ++published; });
  rig.c->startServing();
  EXPECT_EQ(panel.state().phase, PanelState::Phase::starting);
  rig.serve.runReady();
  rig.main.runReady();
  EXPECT_EQ(panel.state().phase, PanelState::Phase::serving);
  EXPECT_EQ(panel.state().modeLabel, "1920x1080@60");

  rig.c->showClientMustUpdate(std::string("Tab"));
  EXPECT_EQ(panel.state().clientAppUpdate, std::optional<std::string>("Tab"));
  panel.actions().dismissClientAppUpdate();
  EXPECT_EQ(panel.state().clientAppUpdate, std::nullopt);
  panel.actions().setExtend(false);
  EXPECT_TRUE(rig.c->settings().captureMain);
  const int before = published;
  panel.refresh();  // nothing changed, nothing published
  EXPECT_EQ(published, before);

  panel.actions().toggleServing();
  EXPECT_EQ(panel.state().phase, PanelState::Phase::stopping);
  rig.serve.runReady();
  rig.main.runReady();
  EXPECT_EQ(panel.state().phase, PanelState::Phase::stopped);
  EXPECT_EQ(panel.state().modeLabel, "");
}

// Key-only links replay (one key, the same record keys for every
// connection): with pairing on, the shipped defaults make no key, so the
// session admits only paired devices and the QR link carries no key.
TEST(MenuBarHostController, WithPairingOnNoKeyIsMadeUnlessKeyOnlyLinksAreAllowed) {
  test::TempFolder temp("lumenrail-qr-key");
  HostSettings shipped = HostSettings::shipDefaults();
  EXPECT_TRUE(shipped.pairingEnabled && shipped.secureWifi && !shipped.keyOnlyLinks);
  EXPECT_FALSE(HostSettings::cliDefaults().applyingArguments({"x", "--pair", "--secure"}).servesKeyOnlyLinks());
  EXPECT_TRUE(HostSettings::cliDefaults().applyingArguments({"x", "--pair", "--secure", "--key-only-links"})
                  .servesKeyOnlyLinks());
  shipped.usbEnabled = false;
  shipped.checkForUpdates = false;
  for (const bool keyOnly : {false, true}) {
    SCOPED_TRACE(keyOnly ? "key-only links on" : "shipped defaults");
    HostSettings s = shipped;
    s.keyOnlyLinks = keyOnly;
    Rig rig(s);
    rig.pairing.emplace(Ed25519PrivateKey::generate(),
                        std::make_shared<PairedDevicesStore>(temp.root() / "paired-devices.json"),
                        [](const std::string&, const std::string&, const std::string&) { return false; });
    rig.serveNow();
    const SessionConfig& config = rig.sessions.back()->config;
    EXPECT_TRUE(config.pairing.has_value());
    EXPECT_EQ(config.psk.has_value(), keyOnly);
    rig.c->showQr();
    ASSERT_EQ(rig.qrWindows.size(), 1u);
    EXPECT_EQ(rig.qrWindows[0]->psk, config.psk);
  }
  // Pairing asked for but not loaded, and no key allowed: nothing is served.
  Rig rig(shipped);
  rig.c->startServing();
  EXPECT_TRUE(rig.sessions.empty());
  EXPECT_EQ(rig.c->phase(), ServingPhase::stopped);
  ASSERT_FALSE(rig.errors.empty());
  EXPECT_EQ(rig.errors.back(), "[menubar] ERROR: pairing is on but cannot start (see host log) — not serving");
}

// The command-line defaults serve with no pairing and no key: said at every
// start, in the log and in the panel, for as long as that session lasts.
TEST(MenuBarHostController, ServingOpenToAnyoneIsSaidAtEveryStartAndShownUntilItStops) {
  const std::string warning =
      "[menubar] WARN: no pairing and no key — anyone on the network can watch and control this desktop"
      " (turn on pairing in Settings, or start with --pair)";
  test::TempFolder temp("lumenrail-open");
  HostSettings keyed = HostSettings::cliDefaults();
  keyed.secureWifi = true;
  HostSettings paired = HostSettings::cliDefaults();
  paired.pairingEnabled = true;
  const struct {
    const char* name;
    HostSettings settings;
    bool open;
  } rows[] = {{"command-line defaults", HostSettings::cliDefaults(), true}, {"key", keyed, false},
              {"pairing", paired, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    Rig rig(row.settings);
    rig.pairing.emplace(Ed25519PrivateKey::generate(),
                        std::make_shared<PairedDevicesStore>(temp.root() / "paired-devices.json"),
                        [](const std::string&, const std::string&, const std::string&) { return false; });
    for (int start = 1; start <= 2; ++start) {
      rig.c->startServing();
      EXPECT_EQ(rig.c->panelModel().state().servingOpen, row.open);
      EXPECT_EQ(std::count(rig.lines.begin(), rig.lines.end(), warning), row.open ? start : 0);
      rig.serve.runReady();
      rig.main.runReady();
      EXPECT_EQ(rig.c->panelModel().state().servingOpen, row.open);
      EXPECT_EQ(PanelPresenter::present(rig.c->panelModel().state()).banners.size(), row.open ? 1u : 0u);
      rig.c->stopServing();
      rig.serve.runReady();
      rig.main.runReady();
      EXPECT_FALSE(rig.c->panelModel().state().servingOpen);
    }
  }
}

TEST(MenuBarHostController, WindowsAreReusedAndTheQrWindowOnlyWhileItsPortAndKeyStay) {
  HostSettings secure = HostSettings::cliDefaults();
  secure.secureWifi = true;
  Rig rig(secure);
  rig.c->showQr();
  ASSERT_EQ(rig.qrWindows.size(), 1u);
  EXPECT_EQ(rig.qrWindows[0]->psk, std::nullopt);
  rig.serveNow();
  // A start made a key: the window is rebuilt with it, then reused.
  rig.c->showQr();
  rig.c->showQr();
  ASSERT_EQ(rig.qrWindows.size(), 2u);
  EXPECT_EQ(rig.qrWindows[1]->psk, rig.c->psk());
  EXPECT_EQ(rig.qrWindows[1]->port, rig.c->settings().port);
  // The count follows the session running when the window asks.
  rig.sessions.back()->clients = 3;
  EXPECT_EQ(rig.qrWindows[1]->clientCount(), 3);
  rig.c->restartServing();
  for (int turn = 0; turn < 2; ++turn) {
    rig.serve.runReady();
    rig.main.runReady();
  }
  ASSERT_EQ(rig.c->phase(), ServingPhase::serving);
  rig.sessions.back()->clients = 1;
  EXPECT_EQ(rig.qrWindows[1]->clientCount(), 1);
  rig.c->showQr();
  EXPECT_EQ(rig.qrWindows.size(), 3u);

  rig.c->showAbout();
  rig.c->showAbout();
  rig.c->showSettings();
  rig.c->showSettings();
  EXPECT_EQ(rig.windows.size(), 2u);
  // Reopening replaced the sync timer (one beside the input-grant poll); the
  // sync stops at the first tick after the window is hidden.
  EXPECT_EQ(rig.main.pending(), 2u);
  rig.main.advance(WindowDirector::kSettingsSyncNs);
  EXPECT_EQ(rig.main.pending(), 2u);
  rig.windows[1]->visible = false;
  rig.main.advance(WindowDirector::kSettingsSyncNs);
  EXPECT_EQ(rig.main.pending(), 1u);
}

// The pairing page's status line: a device the session serves says so, not
// when the store last saw it; once it leaves, the next sync gives its last seen.
TEST(MenuBarHostController, APairedDeviceServedNowReadsConnectedOnThePairingPage) {
  Rig rig;
  rig.serveNow();
  rig.c->showSettings();
  const auto model = rig.c->settingsModel();
  const PairedDevice tab{"fp-tab", {}, "Tab", 1000, {}, {}, {}};
  const PairedDevice phone{"fp-phone", {}, "Phone", 1000, {}, {}, {}};
  const std::string lastSeen = SettingsPages::lastSeenText(1000, 1060);
  ASSERT_NE(lastSeen, L10n::text("device.connected"));
  rig.sessions.back()->shown.clients = {{7, "Tab", std::string("fp-tab"), true}, {8, "stranger", std::nullopt, true}};
  rig.main.advance(WindowDirector::kSettingsSyncNs);
  EXPECT_EQ(SettingsPages::deviceStatusText(*model, tab, 1060), L10n::text("device.connected"));
  EXPECT_EQ(SettingsPages::deviceStatusText(*model, phone, 1060), lastSeen);
  rig.sessions.back()->shown.clients.clear();
  rig.main.advance(WindowDirector::kSettingsSyncNs);
  EXPECT_EQ(SettingsPages::deviceStatusText(*model, tab, 1060), lastSeen);
}

TEST(MenuBarHostController, FinishingSetupServesOnlyWithTheCaptureGrantAndTouchesTheLoginItemOnlyInstalled) {
  for (const bool installed : {true, false}) {
    for (const bool granted : {true, false}) {
      SCOPED_TRACE(std::to_string(installed) + std::to_string(granted));
      Rig rig(HostSettings::cliDefaults(), installed);
      rig.grants->screen = granted;
      rig.c->finishSetup(true);
      const bool loginOn = std::find(rig.calls.begin(), rig.calls.end(), "login on") != rig.calls.end();
      EXPECT_EQ(loginOn, installed);
      EXPECT_EQ(rig.store->load().launchAtLogin, installed);
      EXPECT_EQ(rig.c->phase(), granted ? ServingPhase::starting : ServingPhase::stopped);
      EXPECT_EQ(rig.defaults->integer(SetupModel::kResumeStepKey), granted ? 0 : 1);
      EXPECT_EQ(rig.defaults->string(SetupModel::kCompletedVersionKey).has_value(), granted);
    }
  }
}

TEST(MenuBarHostController, RemovingDataStopsServingThenUnregistersThenRemovesThenLeaves) {
  Rig rig(HostSettings::cliDefaults(), true);
  rig.serveNow();
  rig.calls.clear();
  rig.c->settingsModel()->callbacks().onRemoveData();
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"stop", "login off", "remove data", "exit"}));
  EXPECT_FALSE(rig.held);
}

}  // namespace
}  // namespace lumenrail

namespace lumenrail {
namespace {

// "How to Allow Input" in the alert and in the panel opens one window that says how.
TEST(MenuBarHostController, HowToAllowInputOpensTheInputAccessWindow) {
  Rig rig;
  rig.alertAnswer = 1000;
  rig.serveNow();
  rig.sessions[0]->clients = 1;
  rig.grants->input = false;
  rig.c->pollInputGrant();
  rig.main.runReady();
  rig.c->openAccessibilitySettings();
  EXPECT_EQ(std::count(rig.calls.begin(), rig.calls.end(), "show input access"), 2);
  EXPECT_EQ(rig.windows.size(), 1u);
  EXPECT_TRUE(rig.lines.end() == std::find_if(rig.lines.begin(), rig.lines.end(), [](const std::string& l) {
                return l.find("no privacy settings") != std::string::npos;
              }));
}

}  // namespace
}  // namespace lumenrail
