#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "media/VirtualDisplayManager.hpp"
#include "support/EventLog.hpp"

namespace lumenrail {
namespace {

// An in-process display server: displays with bounds, one main, optional
// mirroring, scripted refusals, and a record of every change.
class DisplayModel final : public DisplayConfiguration {
 public:
  struct Display {
    DisplayBounds bounds;
    bool isVirtual = false;
    double hz = 0;
    uint32_t maxW = 0, maxH = 0;
    std::optional<uint32_t> mirrors;
  };

  DisplayModel() { displays[1] = {{0, 0, 1920, 1080}, false, 60, 0, 0, {}}; }
  bool lastAddRefusedForGood() const override { return refusedForGood; }
  bool refusesForGood = false;
  bool refusedForGood = false;

  std::optional<uint32_t> addVirtualDisplay(const VirtualDisplayRequest& request, std::string& failure) override {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    refusedForGood = refusesForGood;
    if (refusesForGood) {
      failure = "the screen cannot grow to that size";
      return std::nullopt;
    }
    if (failAdds > 0) {
      --failAdds;
      failure = "the screen cannot grow";
      return std::nullopt;
    }
    if (zeroIds > 0) {
      --zeroIds;
      return 0u;
    }
    int64_t right = 0;
    for (auto& [id, d] : displays) right = std::max(right, d.bounds.x + d.bounds.width);
    const uint32_t id = nextId++;
    displays[id] = {{right, 0, request.width, request.height}, true, request.refreshRate, request.maxWidth, request.maxHeight, {}};
    return id;
  }
  bool setVirtualMode(uint32_t id, uint32_t w, uint32_t h, double hz) override {
    std::lock_guard lock(mutex);
    ++modeCalls;
    auto it = displays.find(id);
    if (failModes > 0) {
      --failModes;
      return false;
    }
    if (it == displays.end() || !it->second.isVirtual || w > it->second.maxW || h > it->second.maxH) return false;
    it->second.bounds.width = w;
    it->second.bounds.height = h;
    it->second.hz = hz;
    return true;
  }
  bool removeVirtualDisplay(uint32_t id) override {
    std::lock_guard lock(mutex);
    auto it = displays.find(id);
    if (it == displays.end() || !it->second.isVirtual) return false;
    displays.erase(it);
    ++removals;
    if (main == id) main = displays.empty() ? 0 : displays.begin()->first;
    return true;
  }
  uint32_t mainDisplay() override {
    std::lock_guard lock(mutex);
    return main;
  }
  std::optional<DisplayBounds> bounds(uint32_t id) override {
    std::lock_guard lock(mutex);
    auto it = displays.find(id);
    if (it == displays.end()) return std::nullopt;
    return it->second.bounds;
  }
  std::vector<uint32_t> activeDisplays() override {
    std::lock_guard lock(mutex);
    std::vector<uint32_t> ids;
    for (auto& [id, d] : displays) ids.push_back(id);
    return ids;
  }
  std::optional<uint32_t> mirrorOf(uint32_t id) override {
    std::lock_guard lock(mutex);
    auto it = displays.find(id);
    return it == displays.end() ? std::nullopt : it->second.mirrors;
  }
  bool configure(const std::vector<DisplayPlacement>& placements) override {
    std::lock_guard lock(mutex);
    configurations.push_back(placements);
    if (refuseConfigure) return false;
    for (const auto& p : placements) {
      if (!displays.count(p.id)) return false;
    }
    for (const auto& p : placements) {
      auto& d = displays[p.id];
      d.bounds.x = p.x;
      d.bounds.y = p.y;
      d.mirrors.reset();
      if (p.x == 0 && p.y == 0) main = p.id;
    }
    return true;
  }

  std::mutex mutex;
  std::map<uint32_t, Display> displays;
  uint32_t main = 1;
  uint32_t nextId = 7;
  int failAdds = 0;
  int zeroIds = 0;
  int failModes = 0;
  bool refuseConfigure = false;
  int modeCalls = 0;
  int removals = 0;
  std::vector<VirtualDisplayRequest> requests;
  std::vector<std::vector<DisplayPlacement>> configurations;
};

struct Rig {
  std::shared_ptr<DisplayModel> model = std::make_shared<DisplayModel>();
  test::EventLog log;
  std::vector<uint64_t> sleeps;
  VirtualDisplayManager vd{model, [this](const std::string& l) { log.add(l); },
                           [this](uint64_t ns) { sleeps.push_back(ns); }};
};

const VirtualDisplayManager::Config kConfig{"Lumenrail Display", 1280, 800, 120, 345, 194};

TEST(VirtualDisplayManager, CreateSetsMaximumPixelsAndPlacesTheDisplayBesideTheMain) {
  Rig r;
  ASSERT_TRUE(r.vd.create({"Lumenrail Display", 5120, 2880, 60, 345, 194}));
  EXPECT_EQ(r.model->requests.back().maxWidth, 5120u);
  EXPECT_EQ(r.model->requests.back().maxHeight, 4096u);  // each side is at least 4096
  ASSERT_TRUE(r.vd.create({"Lumenrail Display", 1920, 1080, 60, 345, 194}));
  EXPECT_EQ(r.model->requests.back(),
            (VirtualDisplayRequest{"Lumenrail Display", 1920, 1080, 60, 345, 194, 4096, 4096}));
  EXPECT_EQ(r.model->bounds(r.vd.displayID()), (DisplayBounds{1920, 0, 1920, 1080}));
  EXPECT_TRUE(r.log.lines().empty());
}

TEST(VirtualDisplayManager, IdZeroIsAFailedAttemptAndRetriesSleepHalfASecond) {
  Rig r;
  r.model->zeroIds = 4;
  EXPECT_FALSE(r.vd.create(kConfig, 4));
  EXPECT_EQ(r.vd.displayID(), 0u);
  EXPECT_EQ(r.model->modeCalls, 0) << "a refused display must not be configured";
  EXPECT_EQ(r.sleeps, (std::vector<uint64_t>{500'000'000, 500'000'000, 500'000'000}));
  EXPECT_EQ(r.log.count("refused the virtual display (id 0)"), 4);
  EXPECT_EQ(r.log.count("[vd] create rejected (attempt 1/4) \u2014 retrying in 500 ms"), 1);
  EXPECT_EQ(r.log.count("(attempt 3/4)"), 1);
  EXPECT_EQ(r.log.count("(attempt 4/4)"), 0);
  EXPECT_EQ(r.model->displays.size(), 1u);

  Rig again;
  again.model->zeroIds = 1;
  again.model->failAdds = 1;
  EXPECT_TRUE(again.vd.create(kConfig, 4));
  EXPECT_EQ(again.sleeps.size(), 2u);
  EXPECT_NE(again.vd.displayID(), 0u);
  EXPECT_TRUE(again.log.contains("[vd] virtual display not created: the screen cannot grow"));

  Rig once;
  once.model->failAdds = 5;
  EXPECT_FALSE(once.vd.create(kConfig, 0));
  EXPECT_TRUE(once.sleeps.empty());

  // A server whose screen cannot grow is asked once, not four times.
  Rig never;
  never.model->refusesForGood = true;
  EXPECT_FALSE(never.vd.create(kConfig, 4));
  EXPECT_TRUE(never.sleeps.empty());
  EXPECT_EQ(never.model->requests.size(), 1u);
  EXPECT_TRUE(never.log.contains("[vd] this display server cannot add a screen \u2014 not trying again"));
}

TEST(VirtualDisplayManager, AModeThatCannotBeAppliedRemovesTheNewDisplay) {
  Rig r;
  r.model->failModes = 1;
  EXPECT_FALSE(r.vd.create(kConfig));
  EXPECT_EQ(r.vd.displayID(), 0u);
  EXPECT_EQ(r.model->displays.size(), 1u);
  EXPECT_EQ(r.model->removals, 1);
}

TEST(VirtualDisplayManager, CreateOnAHeldDisplayDestroysTheOldOneFirst) {
  Rig r;
  ASSERT_TRUE(r.vd.create(kConfig));
  const uint32_t first = r.vd.displayID();
  ASSERT_TRUE(r.vd.makeMain());
  ASSERT_TRUE(r.vd.create(kConfig));
  EXPECT_NE(r.vd.displayID(), first);
  EXPECT_FALSE(r.model->bounds(first));
  EXPECT_EQ(r.model->displays.size(), 2u);
  EXPECT_EQ(r.model->mainDisplay(), 1u) << "the old main came back before the old display went";
  EXPECT_FALSE(r.vd.isPromotedToMain());
}

TEST(VirtualDisplayManager, ApplyModeNeedsADisplayAndStaysWithinTheMaximum) {
  Rig r;
  EXPECT_FALSE(r.vd.applyMode(1920, 1080, 60));
  ASSERT_TRUE(r.vd.create(kConfig));
  const uint32_t id = r.vd.displayID();
  EXPECT_TRUE(r.vd.applyMode(2732, 2048, 240));
  EXPECT_EQ(r.vd.displayID(), id);
  EXPECT_EQ(r.model->displays[id].hz, 240);
  EXPECT_EQ(r.model->bounds(id)->width, 2732);
  EXPECT_FALSE(r.vd.applyMode(4097, 2048, 60));
  EXPECT_FALSE(r.vd.applyMode(0, 2048, 60));
}

TEST(VirtualDisplayManager, MakeMainTwiceThenRestorePutsTheFirstMainBack) {
  Rig r;
  ASSERT_TRUE(r.vd.create(kConfig));
  const uint32_t id = r.vd.displayID();
  ASSERT_TRUE(r.vd.makeMain());
  EXPECT_TRUE(r.vd.isPromotedToMain());
  EXPECT_EQ(r.model->mainDisplay(), id);
  EXPECT_EQ(r.model->configurations.back(), (std::vector<DisplayPlacement>{{id, 0, 0}, {1, 1280, 0}}));
  EXPECT_TRUE(r.vd.makeMain());
  EXPECT_EQ(r.model->configurations.size(), 1u);
  EXPECT_TRUE(r.vd.restoreMain());
  EXPECT_FALSE(r.vd.isPromotedToMain());
  EXPECT_EQ(r.model->configurations.back(), (std::vector<DisplayPlacement>{{1, 0, 0}, {id, 1920, 0}}));
  EXPECT_EQ(r.model->mainDisplay(), 1u);
  EXPECT_TRUE(r.vd.restoreMain());
  EXPECT_EQ(r.model->configurations.size(), 2u);
}

TEST(VirtualDisplayManager, RefusalsLeaveNothingRemembered) {
  Rig r;
  EXPECT_FALSE(r.vd.makeMain());
  EXPECT_FALSE(r.vd.ensureExtended());
  ASSERT_TRUE(r.vd.create(kConfig));
  r.model->refuseConfigure = true;
  EXPECT_FALSE(r.vd.makeMain());
  EXPECT_FALSE(r.vd.isPromotedToMain());
  r.model->refuseConfigure = false;
  // Already main (the only display left at the origin): nothing to remember.
  r.model->main = r.vd.displayID();
  EXPECT_TRUE(r.vd.makeMain());
  EXPECT_FALSE(r.vd.isPromotedToMain());
}

TEST(VirtualDisplayManager, RestoreAfterTheOldMainIsGoneFailsAndForgetsIt) {
  Rig r;
  ASSERT_TRUE(r.vd.create(kConfig));
  ASSERT_TRUE(r.vd.makeMain());
  r.model->displays.erase(1);  // unplugged
  const size_t before = r.model->configurations.size();
  EXPECT_FALSE(r.vd.restoreMain());
  EXPECT_FALSE(r.vd.isPromotedToMain());
  EXPECT_EQ(r.model->configurations.size(), before);
  EXPECT_TRUE(r.vd.restoreMain());

  Rig refused;
  ASSERT_TRUE(refused.vd.create(kConfig));
  ASSERT_TRUE(refused.vd.makeMain());
  refused.model->refuseConfigure = true;
  EXPECT_FALSE(refused.vd.restoreMain());
  EXPECT_FALSE(refused.vd.isPromotedToMain());
}

TEST(VirtualDisplayManager, EnsureExtendedMovesAMirrorRightOfAllOthersOnly) {
  Rig r;
  r.model->displays[2] = {{1920, -200, 1024, 768}, false, 60, 0, 0, {}};
  ASSERT_TRUE(r.vd.create(kConfig));
  const uint32_t id = r.vd.displayID();
  EXPECT_TRUE(r.vd.ensureExtended());
  EXPECT_TRUE(r.model->configurations.empty());
  r.model->displays[id].mirrors = 1;
  r.model->displays[id].bounds.x = 0;
  EXPECT_TRUE(r.vd.ensureExtended());
  EXPECT_EQ(r.model->configurations.back(), (std::vector<DisplayPlacement>{{id, 2944, 0}}));
  EXPECT_FALSE(r.model->mirrorOf(id));
}

TEST(VirtualDisplayManager, DestroyRestoresAndRemovesAndDroppingTheManagerRemovesToo) {
  auto model = std::make_shared<DisplayModel>();
  {
    VirtualDisplayManager vd(model, [](const std::string&) {});
    ASSERT_TRUE(vd.create(kConfig));
    ASSERT_TRUE(vd.makeMain());
    vd.destroy();
    EXPECT_EQ(vd.displayID(), 0u);
    EXPECT_EQ(model->mainDisplay(), 1u);
    EXPECT_EQ(model->bounds(1), (DisplayBounds{0, 0, 1920, 1080}));
    EXPECT_EQ(model->displays.size(), 1u);
    ASSERT_TRUE(vd.create(kConfig));
  }
  EXPECT_EQ(model->displays.size(), 1u);
  EXPECT_EQ(model->removals, 2);
}

TEST(VirtualDisplayManager, RemoveAllAddedClearsEveryManagersDisplaysOnce) {
  Rig a, b;
  ASSERT_TRUE(a.vd.create(kConfig));
  ASSERT_TRUE(b.vd.create(kConfig));
  VirtualDisplayManager::removeAllAdded();
  EXPECT_EQ(a.model->displays.size(), 1u);
  EXPECT_EQ(b.model->displays.size(), 1u);
  a.vd.destroy();
  b.vd.destroy();
  EXPECT_EQ(a.model->removals, 1);
  EXPECT_EQ(b.model->removals, 1);
  VirtualDisplayManager::removeAllAdded();
  EXPECT_EQ(a.model->removals, 1);
}

}  // namespace
}  // namespace lumenrail
