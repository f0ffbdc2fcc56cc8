// The GDBus wrapper on a private bus: replies and error names come through,
// signals arrive as callbacks on its thread, and a bus that goes away is
// reported once and makes later calls fail at once instead of hanging.
#include "platform/DBusConnection.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "support/PrivateSessionBus.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

constexpr const char* kBus = "org.freedesktop.DBus";
constexpr const char* kBusPath = "/org/freedesktop/DBus";

TEST(DBusConnectionIntegration, RepliesErrorsSignalsAndTheBusGoingAway) {
  auto bus = std::make_unique<test::PrivateSessionBus>();
  if (!bus->running()) GTEST_SKIP() << bus->whyNot();
  auto a = DBusConnection::connect(bus->address());
  auto b = DBusConnection::connect(bus->address());
  ASSERT_NE(a->uniqueName(), b->uniqueName());

  // A reply of nested values: ListNames is (as).
  const DBusValue names = a->call(kBus, kBusPath, kBus, "ListNames");
  const auto& list = names.at(0).items();
  EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const DBusValue& n) { return n.asString() == b->uniqueName(); }));
  EXPECT_TRUE(a->nameHasOwner(b->uniqueName()));
  EXPECT_FALSE(a->nameHasOwner("org.lumenrail.Nobody"));

  // An error reply keeps its name.
  try {
    a->call(kBus, kBusPath, kBus, "GetNameOwner", DBusValue::tuple({DBusValue::string("org.lumenrail.Nobody")}));
    FAIL() << "no error";
  } catch (const DBusError& e) {
    EXPECT_EQ(e.name, "org.freedesktop.DBus.Error.NameHasNoOwner");
    EXPECT_FALSE(e.timedOut);
  }

  // Signals: b asks for a name (a{sv}-free call with two arguments) and a sees it taken;
  // when b closes, a is told its unique name vanished, once.
  test::EventCounter taken;
  a->subscribe(kBus, kBus, "NameOwnerChanged", kBusPath, [&](auto&, auto&, const DBusValue& args) {
    if (args.at(0).asString() == "org.lumenrail.Probe" && args.at(2).asString() == b->uniqueName()) taken.add();
  });
  EXPECT_EQ(b->call(kBus, kBusPath, kBus, "RequestName",
                    DBusValue::tuple({DBusValue::string("org.lumenrail.Probe"), DBusValue::uint32(0)}))
                .at(0)
                .asUint(),
            1u);  // primary owner
  EXPECT_TRUE(taken.waitFor(1));
  test::EventCounter vanished;
  a->watchNameVanished(b->uniqueName(), [&] { vanished.add(); });
  b->close();
  EXPECT_TRUE(vanished.waitFor(1));

  // The bus daemon goes: told once, and a call fails without waiting for its deadline.
  test::EventCounter closed;
  a->setOnClosed([&] { closed.add(); });
  bus.reset();
  EXPECT_TRUE(closed.waitFor(1));
  EXPECT_TRUE(a->isClosed());
  EXPECT_THROW(a->call(kBus, kBusPath, kBus, "ListNames", {}, 3600 * kNsPerSecond), DBusError);
  a->close();
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(vanished.count(), 1);
}

// A stop that cannot wait cuts the connections: a call blocked on a bus that
// stopped answering returns at once, however far off its deadline is.
TEST(DBusConnectionIntegration, ACutEndsACallBlockedOnABusThatDoesNotAnswer) {
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();
  auto a = DBusConnection::connect(bus.address());
  bus.pause();
  auto failed = std::make_shared<OneShotEvent>();
  NamedThread caller("dbus-cut-probe", [&a, failed] {
    try {
      a->call(kBus, kBusPath, kBus, "ListNames", {}, 3600 * kNsPerSecond);
    } catch (const DBusError&) {
      failed->signal();
    }
  });
  DBusConnection::cutAll();
  EXPECT_TRUE(failed->waitFor(test::kDeadlineNs));
  caller.join();
  EXPECT_TRUE(a->isClosed());
}

TEST(DBusConnectionIntegration, UnreachableBusThrows) {
  EXPECT_THROW(DBusConnection::connect("unix:path=/nonexistent/lumenrail-bus", kNsPerSecond), DBusError);
}

}  // namespace
}  // namespace lumenrail
