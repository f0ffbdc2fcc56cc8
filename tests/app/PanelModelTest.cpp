// The panel's model publishes a snapshot only when it differs from the
// state it holds; the alert placement is a pure function of the screen.
#include <gtest/gtest.h>

#include <functional>

#include "app/controller/AlertPlacement.hpp"
#include "app/panel/HostPanelModel.hpp"

namespace lumenrail {
namespace {

PanelState serving() {
  PanelState s;
  s.phase = PanelState::Phase::serving;
  s.modeLabel = "1920x1080@60";
  s.port = 27184;
  s.devices = {{4, "Tab", "aa", true, true}, {7, "", std::nullopt, false, false}};
  s.update = UpdateRelease{"1.1.0", "https://quillmark.example/a"};
  return s;
}

TEST(HostPanelModel, PublishesOnlyAChangedSnapshot) {
  PanelState next = serving();
  HostPanelModel model(PanelActions{}, [&] { return next; });
  int published = 0;
  model.observe([&] {
    ++published;
    EXPECT_EQ(model.state(), next);  // observers read the new state
  });

  const std::vector<std::pair<const char*, std::function<void(PanelState&)>>> steps = {
      {"unchanged", [](PanelState&) {}},
      {"devices reordered", [](PanelState& s) { std::swap(s.devices[0], s.devices[1]); }},
      {"client update unnamed", [](PanelState& s) { s.clientAppUpdate = ""; }},
      {"update url", [](PanelState& s) { s.update->url += "b"; }},
      {"device renamed", [](PanelState& s) { s.devices[0].name = "Tab 2"; }},
      {"fingerprint learned", [](PanelState& s) { s.devices[1].fingerprint = "bb"; }},
      {"pen active", [](PanelState& s) { s.penHighRateActive = true; }},
  };
  int expected = 0;
  for (const auto& [name, change] : steps) {
    const PanelState before = next;
    change(next);
    if (!(next == before)) ++expected;
    model.refresh();
    model.refresh();  // the same snapshot again publishes nothing
    EXPECT_EQ(published, expected) << name;
  }
  EXPECT_EQ(expected, 6);
}

TEST(HostPanelModel, PhaseFollowsServingAndTransition) {
  using P = PanelState::Phase;
  EXPECT_EQ(PanelState::phaseOf(false, false), P::stopped);
  EXPECT_EQ(PanelState::phaseOf(false, true), P::starting);
  EXPECT_EQ(PanelState::phaseOf(true, false), P::serving);
  EXPECT_EQ(PanelState::phaseOf(true, true), P::stopping);
  // The inert actions can all be called.
  PanelActions inert;
  inert.toggleServing();
  inert.setMain("aa");
  inert.dismissClientAppUpdate();
}

TEST(AlertPlacement, CentresAcrossAndAThirdDown) {
  using AlertPlacement::origin;
  // A panel 24 px tall at the top of a 1920 x 1080 screen.
  EXPECT_EQ(origin({0, 24, 1920, 1056}, 420, 200), (AlertPlacement::Point{750, 276}));
  // The second screen's coordinates, left of the first.
  EXPECT_EQ(origin({-1280, 0, 1280, 1024}, 400, 150), (AlertPlacement::Point{-840, 266}));
  // Taller than two thirds of the area: centred all the same, its top above the area.
  EXPECT_EQ(origin({0, 0, 800, 600}, 300, 500), (AlertPlacement::Point{250, -50}));
}

}  // namespace
}  // namespace lumenrail
