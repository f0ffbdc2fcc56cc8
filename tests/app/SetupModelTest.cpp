// The setup assistant's rules against a defaults file of its own, a fake
// grant probe and a manual main loop; the relaunch's command.
#include <gtest/gtest.h>

#include "app/windows/SetupModel.hpp"
#include "support/AppPortFakes.hpp"
#include "support/ManualExecutor.hpp"
#include "support/TempFolder.hpp"
#include "text/TrayCopy.hpp"

namespace lumenrail {
namespace {

using Step = SetupModel::Step;
using Published = SetupModel::Published;

struct Rig {
  std::function<void()> showInputAccess;
  test::TempFolder dir{"lumenrail-setup"};
  std::shared_ptr<UserDefaults> defaults = std::make_shared<UserDefaults>(dir.path("defaults.json"), "lumenrail");
  std::shared_ptr<test::FakeProbe> probe = std::make_shared<test::FakeProbe>();
  std::shared_ptr<test::ManualExecutor> main = std::make_shared<test::ManualExecutor>();
  std::vector<std::string> lines;
  std::unique_ptr<SetupModel> make(std::optional<Step> step = std::nullopt, bool installed = true) {
    return std::make_unique<SetupModel>(
        [](bool) {}, step,
        SetupModel::Ports{defaults, probe, main, installed, [this](const std::string& l) { lines.push_back(l); },
                          showInputAccess, {}});
  }
};

TEST(SetupModel, ResumesAtTheStoredStepUnlessOneIsGiven) {
  const std::vector<std::pair<std::optional<int>, Step>> cases = {
      {2, Step::device}, {1, Step::permissions}, {0, Step::welcome}, {3, Step::welcome}, {-1, Step::welcome},
      {std::nullopt, Step::welcome}};
  for (const auto& [stored, expected] : cases) {
    Rig rig;
    if (stored) rig.defaults->set({{SetupModel::kResumeStepKey, *stored}});
    EXPECT_EQ(rig.make()->step(), expected) << stored.value_or(99);
    EXPECT_EQ(rig.make(Step::permissions)->step(), Step::permissions);
    // Building stores nothing.
    EXPECT_EQ(rig.defaults->hasObject(SetupModel::kResumeStepKey), stored.has_value());
  }
  Rig rig;
  auto model = rig.make();
  EXPECT_TRUE(model->openAtLogin());
  EXPECT_FALSE(rig.make(std::nullopt, false)->openAtLogin());
  model->setStep(Step::device);
  EXPECT_EQ(rig.defaults->integer(SetupModel::kResumeStepKey), 2);
}

TEST(SetupModel, PollPublishesOnlyChangedGrants) {
  Rig rig;
  auto model = rig.make();
  std::vector<Published> published;
  model->observe([&](Published p) { published.push_back(p); });

  model->startPolling();
  model->startPolling();
  EXPECT_EQ(rig.main->pending(), 1u);
  const auto tick = [&] { rig.main->advance(1'000'000'000); };
  tick();
  EXPECT_TRUE(published.empty());  // nothing changed
  rig.probe->input = true;
  tick();
  EXPECT_EQ(published, std::vector<Published>{Published::accessibility});
  rig.probe->screen = true;
  rig.probe->input = false;
  tick();
  EXPECT_EQ(published,
            (std::vector<Published>{Published::accessibility, Published::screenRecording, Published::accessibility}));
  EXPECT_TRUE(model->screenRecording());

  model->stopPolling();
  EXPECT_EQ(rig.main->pending(), 0u);
  model->startPolling();
  EXPECT_EQ(rig.main->pending(), 1u);
  model.reset();  // the model's timer goes with it
  EXPECT_EQ(rig.main->pending(), 0u);
}

TEST(SetupModel, AskingForScreenCaptureSaysSoAndRemembersIt) {
  Rig rig;
  rig.probe->screen = true;
  rig.defaults->set({{SetupModel::kCompletedVersionKey, "1.0.0"}});
  auto model = rig.make();
  model->askScreenRecording();
  EXPECT_TRUE(model->askedScreen());
  EXPECT_TRUE(rig.defaults->boolean(SetupModel::kAskedScreenKey));
  EXPECT_TRUE(rig.make()->askedScreen());
  ASSERT_EQ(rig.lines.size(), 1u);
  EXPECT_EQ(rig.lines[0],
            "[setup] no privacy settings to open on Linux (Privacy_ScreenCapture): screen capture needs a display "
            "server this user may read");

  rig.defaults->set({{SetupModel::kResumeStepKey, 1}});
  SetupAssistant::markCompleted(*rig.defaults);
  EXPECT_EQ(rig.defaults->string(SetupModel::kCompletedVersionKey), "1.0.9");
  EXPECT_FALSE(rig.defaults->hasObject(SetupModel::kResumeStepKey));
  EXPECT_TRUE(rig.defaults->boolean(SetupModel::kAskedScreenKey));  // left alone
}

TEST(SetupAssistant, LaunchRule) {
  struct Case {
    bool installed;
    std::optional<std::string> completed;
    bool screen;
    bool due;
  };
  for (const Case& c : std::vector<Case>{{false, std::nullopt, false, false},
                                         {false, "1.0.9", false, false},
                                         {true, std::nullopt, true, true},
                                         {true, "0.1", true, false},
                                         {true, "1.0.9", false, true}}) {
    Rig rig;
    rig.probe->screen = c.screen;
    if (c.completed) rig.defaults->set({{SetupModel::kCompletedVersionKey, *c.completed}});
    EXPECT_EQ(SetupAssistant::shouldShowOnLaunch(*rig.defaults, *rig.probe, c.installed), c.due)
        << c.installed << c.completed.value_or("-") << c.screen;
  }
}

// "Allow" on the input row opens the window that says how; without one, a log line.
TEST(SetupModel, AllowingInputOpensTheWindowThatSaysHow) {
  Rig rig;
  int shown = 0;
  rig.showInputAccess = [&] { ++shown; };
  rig.make()->askAccessibility();
  EXPECT_EQ(shown, 1);
  EXPECT_TRUE(rig.lines.empty());
  rig.showInputAccess = nullptr;
  rig.make()->askAccessibility();
  EXPECT_EQ(rig.lines.size(), 1u);
}

TEST(HostPermissions, TheInputGrantCommandIsTheInstalledHelperOrTheSourceScript) {
  EXPECT_EQ(HostPermissions::grantCommand("/opt/l/bin/lumenrailhost", true, "/src"),
            "sudo /opt/l/libexec/lumenrail/grant-input-access");
  EXPECT_EQ(HostPermissions::grantCommand("/b/bin/lumenrailhost", false, "/home/ana/lumenrail"),
            "sudo /home/ana/lumenrail/scripts/grant-input-access");
  EXPECT_EQ(HostPermissions::grantCommand("/home/ana/my apps/bin/lumenrailhost", true),
            "sudo '/home/ana/my apps/libexec/lumenrail/grant-input-access'");
}


// Where to find the application is said for the desktop at hand, and the
// model asks its owner each time (a tray may turn up while it is open).
TEST(SetupModel, CopySaysTrayOrWindowAsTheDesktopHasIt) {
  const Localizer english(StringBundle::open(LUMENRAIL_L10N_BUNDLE), {"en"});
  bool docked = false;
  Rig rig;
  SetupModel::Ports ports{rig.defaults, rig.probe, rig.main, true, [](const std::string&) {}, {}, [&] { return docked; }};
  SetupModel model([](bool) {}, Step::device, ports);
  struct Case {
    bool docked;
    std::string hint, steps;
  };
  for (const auto& c : std::vector<Case>{
           {true, "Lumenrail lives in the system tray.", "Then choose **Show QR Code…** in the Lumenrail menu"},
           {false, "This desktop has no system tray, so Lumenrail shows its own window",
            "Then click the QR code button at the foot of the **Lumenrail** window"}}) {
    docked = c.docked;
    ASSERT_EQ(model.trayShown(), c.docked);
    EXPECT_EQ(TrayCopy::whereHint(model.trayShown(), english).rfind(c.hint, 0), 0u) << c.docked;
    EXPECT_EQ(TrayCopy::qrSteps(model.trayShown(), english).source.rfind(c.steps, 0), 0u) << c.docked;
  }
  ports.trayShown = {};  // an owner that does not say: the tray wording, as before
  EXPECT_TRUE(SetupModel([](bool) {}, Step::device, ports).trayShown());
}

}  // namespace
}  // namespace lumenrail
