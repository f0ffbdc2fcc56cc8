// Which desktop a session gets, from its environment and its session bus.
#include <gtest/gtest.h>

#include "desktop/DesktopChoice.hpp"
#include "desktop/gnome/GnomeDesktopEnvironment.hpp"
#include "desktop/gnome/GnomeIdleInhibit.hpp"
#include "desktop/gnome/GnomePermissionProbe.hpp"
#include "desktop/x11/DisplaySleepAssertion.hpp"
#include "desktop/x11/LinuxPermissionProbe.hpp"
#include "desktop/x11/X11DesktopEnvironment.hpp"

namespace lumenrail {
namespace {

using DesktopChoice::Kind;

TEST(DesktopChoice, WaylandNeedsMutterXNeedsNoWaylandAndTheSwitchForcesEither) {
  struct Case {
    Environment environment;
    bool mutter;
    Kind kind;
    std::string mentions;
  };
  const std::vector<Case> cases = {
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}, true, Kind::gnome, "GNOME on Wayland"},
      // Xwayland's DISPLAY does not make a Wayland session an X11 one.
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"DISPLAY", ":0"}}, false, Kind::refused, "GNOME on Wayland"},
      {{{"WAYLAND_DISPLAY", "wayland-1"}}, false, Kind::refused, "X11 session"},
      {{{"DISPLAY", ":3"}}, false, Kind::x11, "X11 (:3)"},
      {{}, false, Kind::refused, "scripts/run"},
      {{{"WAYLAND_DISPLAY", "wayland-0"}, {"LUMENRAIL_DESKTOP", "x11"}}, false, Kind::x11, "forced"},
      {{{"DISPLAY", ":0"}, {"LUMENRAIL_DESKTOP", "gnome"}}, false, Kind::gnome, "forced"},
      {{{"DISPLAY", ":0"}, {"LUMENRAIL_DESKTOP", "kde"}}, false, Kind::refused, "x11 or gnome"},
  };
  for (const auto& c : cases) {
    int asked = 0;
    const auto verdict = DesktopChoice::decide(c.environment, [&](const Environment&) {
      ++asked;
      return c.mutter;
    });
    EXPECT_EQ(verdict.kind, c.kind) << verdict.text;
    EXPECT_NE(verdict.text.find(c.mentions), std::string::npos) << verdict.text;
    // The bus is asked only about a Wayland session nobody forced.
    const bool waylandUnforced = c.environment.count("WAYLAND_DISPLAY") && !c.environment.count("LUMENRAIL_DESKTOP");
    EXPECT_EQ(asked, waylandUnforced ? 1 : 0) << verdict.text;
  }
}

// The tray takes its display-awake and its grants from the same desktop as
// the session; a session that cannot be served is asked as an X11 one.
TEST(DesktopChoice, EachDesktopHandsOutItsOwnDisplayAwakeAndGrants) {
  for (const auto& [kind, x11] : {std::pair{Kind::x11, true}, {Kind::gnome, false}, {Kind::refused, true}}) {
    const auto desktop = DesktopChoice::environmentFor(kind);
    const auto awake = desktop->makeDisplayAwake("serving");
    const auto probe = desktop->makePermissionProbe();
    const int k = static_cast<int>(kind);
    EXPECT_EQ(dynamic_cast<X11DesktopEnvironment*>(desktop.get()) != nullptr, x11) << k;
    EXPECT_EQ(dynamic_cast<GnomeDesktopEnvironment*>(desktop.get()) != nullptr, !x11) << k;
    EXPECT_EQ(dynamic_cast<DisplaySleepAssertion*>(awake.get()) != nullptr, x11) << k;
    EXPECT_EQ(dynamic_cast<GnomeIdleInhibit*>(awake.get()) != nullptr, !x11) << k;
    EXPECT_EQ(dynamic_cast<LinuxPermissionProbe*>(probe.get()) != nullptr, x11) << k;
    EXPECT_EQ(dynamic_cast<GnomePermissionProbe*>(probe.get()) != nullptr, !x11) << k;
  }
}

}  // namespace
}  // namespace lumenrail
