// The QR window's decisions with a fake client count and hand-driven ticks.
#include <gtest/gtest.h>

#include "app/windows/QrWindowModel.hpp"
#include "links/PairingUri.hpp"
#include "support/ManualExecutor.hpp"

namespace lumenrail {
namespace {

struct Harness {
  int64_t clients = 0;
  std::shared_ptr<test::ManualExecutor> main = std::make_shared<test::ManualExecutor>();
  std::vector<std::string> lines;
  int closes = 0;
  std::vector<LanAddress::Candidate> addresses = {{"192.168.1.20", "wlan0", "Wi-Fi", true},
                                                  {"10.0.0.7", "eth0", "Ethernet", false}};

  std::unique_ptr<QrWindowModel> make(std::optional<Bytes> psk = std::nullopt) {
    QrWindowModel::Ports ports;
    ports.clientCount = [this] { return clients; };
    ports.candidates = [this] { return addresses; };
    ports.main = main;
    ports.log = [this](const std::string& l) { lines.push_back(l); };
    auto model = std::make_unique<QrWindowModel>(27184, std::move(psk), std::move(ports));
    model->onClose = [this, m = model.get()] {
      ++closes;
      m->stopWatching();
    };
    return model;
  }
  void tick() { main->advance(QrWindowModel::kWatchIntervalNs); }
};

TEST(QrWindowModel, CountdownClosesOnTheSecondTickAfterANewClientUnlessItLeaves) {
  struct Case {
    const char* what;
    int64_t atShow;
    std::vector<int64_t> perTick;
    int closesAfter;  // ticks until the close; 0 for none
  };
  const std::vector<Case> cases = {
      {"arrival closes two ticks later", 0, {1, 1, 1, 1}, 3},
      {"already connected is the baseline", 1, {1, 1, 1, 1}, 0},
      {"leaving first cancels", 0, {1, 0, 0, 0}, 0},
      {"leaving lowers the baseline, the return counts", 1, {0, 1, 1, 1}, 4},
      {"any count above the baseline keeps counting down", 0, {1, 2, 2}, 3},
  };
  for (const auto& c : cases) {
    Harness h;
    auto model = h.make();
    h.clients = c.atShow;
    model->show(true);
    ASSERT_TRUE(model->watching()) << c.what;
    EXPECT_EQ(model->baseline(), c.atShow) << c.what;
    int closedAt = 0;
    for (size_t i = 0; i < c.perTick.size() && model->watching(); ++i) {
      h.clients = c.perTick[i];
      h.tick();
      if (h.closes > 0 && closedAt == 0) closedAt = static_cast<int>(i) + 1;
    }
    EXPECT_EQ(closedAt, c.closesAfter) << c.what;
    EXPECT_EQ(h.closes, c.closesAfter ? 1 : 0) << c.what;
    EXPECT_EQ(model->watching(), c.closesAfter == 0) << c.what;
    const size_t announced = c.closesAfter ? 1 : (c.perTick[0] > c.atShow ? 1 : 0);
    ASSERT_EQ(h.lines.size(), announced) << c.what;
    if (announced) {
      EXPECT_EQ(h.lines[0], "[qr] device connected, closing in 3 s");
    }
  }
}

TEST(QrWindowModel, ShowingAgainTakesTheCurrentCountAsBaseline) {
  Harness h;
  auto model = h.make();
  model->show(true);
  h.clients = 2;
  h.tick();
  EXPECT_EQ(model->closeIn(), 2);
  h.clients = 3;
  model->show(false);  // the owner's session changed meanwhile
  EXPECT_EQ(model->baseline(), 3);
  EXPECT_EQ(model->closeIn(), -1);
  EXPECT_FALSE(model->serving());
}

TEST(QrWindowModel, LinkFollowsTheChosenAddressAndCarriesOnlyANonEmptyKey) {
  Harness h;
  auto plain = h.make();
  EXPECT_FALSE(plain->link());  // nothing chosen before show
  plain->show(true);
  EXPECT_EQ(*plain->link(), "https://" + PairingUri::webHost() + "/pair?v=1&h=192.168.1.20&p=27184");
  plain->choose(1);
  EXPECT_EQ(*plain->link(), "https://" + PairingUri::webHost() + "/pair?v=1&h=10.0.0.7&p=27184");

  auto keyed = h.make(Bytes{0xFB, 0xFF});
  keyed->show(true);
  EXPECT_EQ(*keyed->link(), "https://" + PairingUri::webHost() + "/pair?v=1&h=192.168.1.20&p=27184#k=-_8");
  auto empty = h.make(Bytes{});
  empty->show(true);
  EXPECT_EQ(*empty->link(), "https://" + PairingUri::webHost() + "/pair?v=1&h=192.168.1.20&p=27184");

  // The owner's reuse rule: same port and the same key, byte for byte.
  EXPECT_TRUE(keyed->builtFor(27184, Bytes{0xFB, 0xFF}));
  EXPECT_FALSE(keyed->builtFor(27184, Bytes{0xFB}));
  EXPECT_FALSE(keyed->builtFor(27185, Bytes{0xFB, 0xFF}));
  EXPECT_TRUE(plain->builtFor(27184, std::nullopt));

  h.addresses.clear();
  plain->show(true);
  EXPECT_FALSE(plain->link());
  EXPECT_FALSE(plain->copyLink());
}

}  // namespace
}  // namespace lumenrail
