#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "links/BonjourAdvertiser.hpp"
#include "support/EventLog.hpp"
#include "support/PrivateAvahi.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::EventLog;

// The resolved entry of one instance, or "" when avahi-browse does not list it.
std::string entryFor(const test::PrivateAvahi& avahi, const std::string& instance) {
  for (const auto& line : avahi.browse("_lumenrail._tcp")) {
    if (line.find(";" + instance + ";_lumenrail._tcp;local;") != std::string::npos) return line;
  }
  return {};
}

class BonjourAvahiIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!avahi.running()) GTEST_SKIP() << "no private Avahi daemon: " << avahi.whyNot();
    // The Avahi client library finds the daemon through this bus.
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", avahi.busAddress().c_str(), 1);
  }
  void TearDown() override { ::unsetenv("DBUS_SYSTEM_BUS_ADDRESS"); }

  std::shared_ptr<BonjourAdvertiser> make(EventLog& log) {
    auto a = BonjourAdvertiser::create("Lumenrail Test", 27184);
    a->onEvent = [&log](const std::string& line) { log.add(line); };
    // Only TXT text: the daemon's namespace has nothing but loopback.
    a->addressSource = [] { return std::vector<std::string>{"192.0.2.10", "198.51.100.7"}; };
    return a;
  }

  test::PrivateAvahi avahi;
};

TEST_F(BonjourAvahiIntegration, PublishesUpdatesRenamesAndWithdraws) {
  EventLog log;
  auto advertiser = make(log);
  advertiser->start({{"v", "1"}, {"pv", "1"}, {"enc", "1"}, {"caps", "0x1"}, {"os", "mac"}, {"fp", "abc"}});
  ASSERT_TRUE(log.waitFor("published as \"Lumenrail Test (e90b)\""));

  std::string entry;
  ASSERT_TRUE(test::eventually([&] { return !(entry = entryFor(avahi, "Lumenrail Test (e90b)")).empty(); }));
  EXPECT_NE(entry.find(";27184;"), std::string::npos) << entry;
  for (const char* item : {"\"busy=0\"", "\"ip4=192.0.2.10,198.51.100.7\"", "\"v=1\"", "\"pv=1\"", "\"enc=1\"",
                           "\"caps=0x1\"", "\"os=mac\"", "\"fp=abc\""}) {
    EXPECT_NE(entry.find(item), std::string::npos) << item << " missing in " << entry;
  }

  advertiser->setBusy(true);
  EXPECT_TRUE(test::eventually(
      [&] { return entryFor(avahi, "Lumenrail Test (e90b)").find("\"busy=1\"") != std::string::npos; }));

  // A second host with the same name gets the alternative one.
  EventLog otherLog;
  auto other = make(otherLog);
  other->start({{"v", "1"}, {"fp", "abc"}});
  ASSERT_TRUE(otherLog.waitFor("published as \"Lumenrail Test (e90b) #2\""));
  EXPECT_TRUE(test::eventually([&] { return !entryFor(avahi, "Lumenrail Test (e90b) #2").empty(); }));

  advertiser->stop();
  EXPECT_TRUE(log.waitFor("advertise stopped"));
  EXPECT_TRUE(test::eventually([&] { return entryFor(avahi, "Lumenrail Test (e90b)").empty(); }));
  other->stop();
  EXPECT_TRUE(test::eventually([&] { return avahi.browse("_lumenrail._tcp").empty(); }));
}

}  // namespace
}  // namespace lumenrail
