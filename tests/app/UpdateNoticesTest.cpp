// The update notices over a checker that hands the test its callbacks and an
// opener that records what it opened.
#include <gtest/gtest.h>

#include "app/controller/UpdateNotices.hpp"
#include "settings/UpdateCheck.hpp"
#include "support/AppPortFakes.hpp"

namespace lumenrail {
namespace {

struct Rig {
  std::vector<UpdateCheckerRequest> requests;
  std::vector<std::string> calls, lines;
  std::vector<UpdateNotices::VersionVerdict> verdicts;  // what reached the session
  std::shared_ptr<test::FakeOpener> opener = std::make_shared<test::FakeOpener>();
  std::shared_ptr<UpdateNotices> notices;

  struct Checker final : UpdateCheckerHandle {
    Rig* rig;
    void start() override { rig->calls.push_back("start"); }
    void stop() override { rig->calls.push_back("stop"); }
  };

  Rig() {
    UpdateNotices::Ports ports;
    ports.makeUpdateChecker = [this](UpdateCheckerRequest request) -> std::unique_ptr<UpdateCheckerHandle> {
      requests.push_back(std::move(request));
      auto checker = std::make_unique<Checker>();
      checker->rig = this;
      return checker;
    };
    ports.opener = opener;
    ports.log = [this](const std::string& line) { lines.push_back(line); };
    UpdateNotices::Hooks hooks;
    hooks.verdictChanged = [this](const UpdateNotices::VersionVerdict& v) { verdicts.push_back(v); };
    notices = std::make_shared<UpdateNotices>(std::move(ports), std::move(hooks));
  }
};

TEST(UpdateNotices, OneCheckerWhileOnAndSwitchingOffForgetsTheReleaseAndTheVerdict) {
  Rig rig;
  rig.notices->apply(true);
  rig.notices->apply(true);
  ASSERT_EQ(rig.requests.size(), 1u);
  EXPECT_EQ(rig.requests[0].platform, "linux");
  const std::string page = std::string(UpdateCheck::allowedLinkPrefix) + "get/lumenrail/";
  rig.requests[0].onUpdate(UpdateRelease{"1.2.0", page});
  // A negative client floor from the manifest counts as none.
  rig.requests[0].onVerdict(HostUpdate::available, "1.2.0", -3);
  EXPECT_EQ(rig.notices->verdict().floor, 0);
  ASSERT_EQ(rig.verdicts.size(), 1u);
  EXPECT_EQ(rig.verdicts[0].update, HostUpdate::available);
  rig.notices->openUpdate();
  EXPECT_EQ(rig.opener->opened, std::vector<std::string>{page});

  rig.notices->apply(false);
  EXPECT_EQ(rig.calls, (std::vector<std::string>{"start", "stop"}));
  EXPECT_FALSE(rig.notices->availableUpdate().has_value());
  ASSERT_EQ(rig.verdicts.size(), 2u);
  EXPECT_EQ(rig.verdicts[1].update, HostUpdate::none);
  EXPECT_EQ(rig.verdicts[1].version, "");
  EXPECT_EQ(rig.lines.back(), "[update] check off (settings: checkForUpdates=false)");
  rig.notices->openUpdate();
  EXPECT_EQ(rig.opener->opened.size(), 1u);
  // The checker is gone: what it still reports lands nowhere.
  rig.notices.reset();
  rig.requests[0].onUpdate(UpdateRelease{"1.3.0", page});
}

TEST(UpdateNotices, OnlyATrustedLinkIsOpened) {
  Rig rig;
  rig.notices->apply(true);
  rig.requests[0].onUpdate(UpdateRelease{"9.9.9", "https://elsewhere.example/lumenrail.deb"});
  rig.notices->openUpdate();
  EXPECT_TRUE(rig.opener->opened.empty());
}

}  // namespace
}  // namespace lumenrail
