// The window director over a manual main loop (its timers look for a tray),
// a tray icon whose tray comes and goes, and windows that record showing.
#include <gtest/gtest.h>

#include "app/controller/WindowDirector.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

struct Rig {
  test::ManualExecutor main;
  std::vector<std::string> calls, lines;
  bool trayUp = true;
  std::shared_ptr<WindowDirector> d;

  struct Item final : StatusItem {
    Rig* rig;
    bool available() const override { return rig->trayUp; }
    void show(ServingPhase) override {}
    void dock() override { rig->calls.push_back("dock"); }
  };
  struct Window final : HostWindow {
    Rig* rig;
    bool visible = false;
    void show() override {
      visible = true;
      rig->calls.push_back("show main");
    }
    bool isVisible() const override { return visible; }
    void hide() override { visible = false; }
  };
  std::vector<Window*> windows;

  Rig() {
    auto item = std::make_shared<Item>();
    item->rig = this;
    WindowDirector::Ports ports{std::shared_ptr<Executor>(&main, [](Executor*) {}), item, {},
                                [this](const std::string& line) { lines.push_back(line); }};
    ports.windows.showPanel = [this] { calls.push_back("show panel"); };
    ports.windows.makeMain = [this] {
      auto w = std::make_unique<Window>();
      w->rig = this;
      windows.push_back(w.get());
      return w;
    };
    d = std::make_shared<WindowDirector>(std::move(ports), WindowDirector::Hooks{});
  }
  bool logged(const std::string& line) const { return std::find(lines.begin(), lines.end(), line) != lines.end(); }
};

// Stock GNOME has no tray; an autostart may run before the panel does.
TEST(WindowDirector, WithoutATrayThePanelIsAWindowUntilOneAppearsAndASecondStartShowsWhicheverThereIs) {
  const auto count = [](const Rig& rig, const std::string& call) {
    return std::count(rig.calls.begin(), rig.calls.end(), call);
  };
  {
    Rig rig;
    rig.trayUp = false;
    rig.d->launch();
    EXPECT_TRUE(rig.logged("[menubar] WARN: no system tray yet — showing the Lumenrail window instead; the icon "
                           "docks when a tray appears"));
    ASSERT_EQ(rig.windows.size(), 1u);
    Rig::Window& window = *rig.windows[0];
    EXPECT_TRUE(window.visible);
    // Closed, then started again: the same window comes back.
    window.hide();
    rig.d->activate();
    EXPECT_TRUE(window.visible);
    EXPECT_EQ(count(rig, "show main"), 2);
    EXPECT_EQ(count(rig, "show panel"), 0);

    // The tray turns up while the host still looks: the icon docks; the
    // window the user asked for stays.
    rig.main.advance(WindowDirector::kTrayRecheckNs);
    EXPECT_EQ(count(rig, "dock"), 0);
    rig.trayUp = true;
    rig.main.advance(WindowDirector::kTrayRecheckNs);
    EXPECT_EQ(count(rig, "dock"), 1);
    EXPECT_TRUE(rig.d->trayDocked());
    EXPECT_TRUE(window.visible);
    EXPECT_TRUE(rig.logged("[menubar] a system tray appeared — the icon is in it"));
    rig.d->activate();
    EXPECT_EQ(count(rig, "show panel"), 1);
    rig.d->trayMayHaveAppeared();
    EXPECT_EQ(count(rig, "dock"), 1);

    // The tray goes away: the window is shown as at a start without one, and
    // the icon docks again when a tray returns.
    window.hide();
    rig.d->trayMayHaveGone();
    EXPECT_FALSE(window.visible);  // word that it went while it is still there changes nothing
    rig.trayUp = false;
    rig.d->trayMayHaveGone();
    EXPECT_TRUE(window.visible);
    EXPECT_FALSE(rig.d->trayDocked());
    EXPECT_TRUE(rig.logged("[menubar] WARN: the system tray went away — showing the Lumenrail window instead; the "
                           "icon docks when a tray appears"));
    rig.trayUp = true;
    rig.main.advance(WindowDirector::kTrayRecheckNs);
    EXPECT_EQ(count(rig, "dock"), 2);
    EXPECT_FALSE(window.visible);  // forced open by the loss, so it goes with it
  }
  {
    // The window forced open at launch goes once the icon is in a tray; past
    // the wait only the desktop's announcement looks again.
    Rig rig;
    rig.trayUp = false;
    const size_t idle = rig.main.pending();
    rig.d->launch();
    EXPECT_EQ(rig.main.pending(), idle + 1);
    rig.main.advance(WindowDirector::kTrayWaitNs);
    EXPECT_EQ(rig.main.pending(), idle);
    rig.trayUp = true;
    rig.main.advance(10 * WindowDirector::kTrayRecheckNs);
    EXPECT_EQ(count(rig, "dock"), 0);
    rig.d->trayMayHaveAppeared();
    EXPECT_EQ(count(rig, "dock"), 1);
    EXPECT_FALSE(rig.windows[0]->visible);
  }
  {
    // With a tray from the start nothing is forced open and nobody looks again.
    Rig rig;
    const size_t idle = rig.main.pending();
    rig.d->launch();
    EXPECT_TRUE(rig.windows.empty());
    EXPECT_EQ(rig.main.pending(), idle);
    rig.d->activate();
    EXPECT_EQ(count(rig, "show panel"), 1);
  }
}

}  // namespace
}  // namespace lumenrail
