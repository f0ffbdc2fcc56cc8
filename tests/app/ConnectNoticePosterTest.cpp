// The notice policy and the repeat filter on a hand-driven clock, with every
// "[notice] " line and what reaches the notifier.
#include <gtest/gtest.h>

#include <regex>

#include "app/controller/ConnectNoticePoster.hpp"
#include "text/L10n.hpp"

namespace lumenrail {
namespace {

struct FakeNotifier : Notifier {
  bool grant = true;
  std::string refusal;
  std::string postError;
  std::vector<Notification> posted;
  int asked = 0;
  void authorize(std::function<void(bool, const std::string&)> done) override {
    ++asked;
    done(grant, refusal);
  }
  void post(const Notification& n, std::function<void(const std::string&)> done) override {
    posted.push_back(n);
    done(postError);
  }
};

struct Rig {
  uint64_t now = 1'000 * kNsPerSecond;
  std::shared_ptr<FakeNotifier> notifier = std::make_shared<FakeNotifier>();
  std::vector<std::string> lines;
  ConnectNoticePoster poster{notifier, true, [this] { return now; }, [this](const std::string& l) { lines.push_back(l); }};
  std::string announce(const std::string& name, bool network, ConnectNotice policy) {
    lines.clear();
    poster.sessionNamed(name, network, policy);
    return lines.size() == 1 ? lines[0] : "(" + std::to_string(lines.size()) + " lines)";
  }
};

TEST(ConnectNoticePoster, PolicyFilterAndLines) {
  Rig rig;
  constexpr auto wifi = ConnectNotice::wifiOnly;
  constexpr auto always = ConnectNotice::always;
  EXPECT_EQ(rig.announce("Tab", false, wifi), "[notice] Tab connected over USB: not announced (connectNotice=wifi)");
  EXPECT_EQ(rig.announce("Tab", true, ConnectNotice::off),
            "[notice] Tab connected over Wi-Fi: not announced (connectNotice=off)");
  EXPECT_EQ(rig.announce("Tab", true, wifi), "[notice] posted: Tab connected over Wi-Fi");
  rig.now += 29 * kNsPerSecond;
  EXPECT_EQ(rig.announce("Tab", true, always), "[notice] Tab connected over Wi-Fi: announced <30 s ago, quiet");
  EXPECT_EQ(rig.announce("Tab", false, always), "[notice] posted: Tab connected over USB");  // the link is part of the key
  rig.now += 1 * kNsPerSecond;
  EXPECT_EQ(rig.announce("Tab", true, always), "[notice] posted: Tab connected over Wi-Fi");
  EXPECT_EQ(rig.announce("", true, always), "[notice] posted: <unnamed> connected over Wi-Fi");
  EXPECT_EQ(rig.announce("", true, always), "[notice] <unnamed> connected over Wi-Fi: announced <30 s ago, quiet");

  ASSERT_EQ(rig.notifier->posted.size(), 4u);
  const auto& unnamed = rig.notifier->posted[3];
  EXPECT_EQ(unnamed.title, "Lumenrail");
  EXPECT_EQ(unnamed.body, L10n::text("notice.connected.wifi", L10n::text("notice.connected.unnamed")));
  EXPECT_EQ(rig.notifier->posted[1].body, L10n::text("notice.connected.usb", "Tab"));
  EXPECT_TRUE(std::regex_match(unnamed.id, std::regex("connect-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}")))
      << unnamed.id;
  EXPECT_NE(unnamed.id, rig.notifier->posted[2].id);
  EXPECT_EQ(rig.notifier->asked, 4);  // asked before every post

  rig.notifier->grant = false;
  EXPECT_EQ(rig.announce("Pad", false, always), "[notice] Notification Center refused (not allowed): Pad over USB");
  rig.notifier->refusal = "org.freedesktop.DBus.Error.ServiceUnknown";
  EXPECT_EQ(rig.announce("Pad", true, always),
            "[notice] Notification Center refused (org.freedesktop.DBus.Error.ServiceUnknown): Pad over Wi-Fi");
  rig.notifier->grant = true;
  rig.notifier->postError = "quota";
  EXPECT_EQ(rig.announce("Phone", true, always), "[notice] post failed: quota");
}

TEST(ConnectNoticePoster, WithoutNotificationsOnlyLogs) {
  auto notifier = std::make_shared<FakeNotifier>();
  std::vector<std::string> lines;
  ConnectNoticePoster poster(notifier, false, [] { return uint64_t{0}; },
                             [&](const std::string& l) { lines.push_back(l); });
  poster.sessionNamed("Tab", true, ConnectNotice::always);
  EXPECT_EQ(lines, std::vector<std::string>{"[notice] Tab connected over Wi-Fi (no app bundle: log only)"});
  EXPECT_EQ(notifier->asked, 0);
}

}  // namespace
}  // namespace lumenrail
