// The GNOME display-sleep assertion against a session manager of the test's
// own on a private bus: one idle inhibit while held, none after release or
// drop, and no session manager is a plain refusal.
#include "desktop/gnome/GnomeIdleInhibit.hpp"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>

#include "support/PrivateSessionBus.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

// org.gnome.SessionManager's Inhibit and Uninhibit, recording the inhibits.
class FakeSessionManager {
 public:
  struct Inhibit {
    std::string app;
    std::string reason;
    uint32_t flags = 0;
  };

  explicit FakeSessionManager(const std::string& address) {
    context_ = g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    GError* error = nullptr;
    g_main_context_push_thread_default(context_);
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                             G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    static const char* kXml =
        "<node><interface name='org.gnome.SessionManager'>"
        "<method name='Inhibit'><arg type='s' direction='in'/><arg type='u' direction='in'/>"
        "<arg type='s' direction='in'/><arg type='u' direction='in'/><arg type='u' direction='out'/></method>"
        "<method name='Uninhibit'><arg type='u' direction='in'/></method>"
        "</interface></node>";
    info_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    static const GDBusInterfaceVTable vtable = {&FakeSessionManager::onCall, nullptr, nullptr, {}};
    g_dbus_connection_register_object(connection_, "/org/gnome/SessionManager", info_->interfaces[0], &vtable, this,
                                      nullptr, nullptr);
    GVariant* owned = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.gnome.SessionManager", 0u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        nullptr);
    if (owned) g_variant_unref(owned);
    g_main_context_pop_thread_default(context_);
    thread_ = std::thread([this] {
      g_main_context_push_thread_default(context_);
      g_main_loop_run(loop_);
      g_main_context_pop_thread_default(context_);
    });
  }

  ~FakeSessionManager() {
    g_main_context_invoke(
        context_,
        [](gpointer loop) -> gboolean {
          g_main_loop_quit(static_cast<GMainLoop*>(loop));
          return G_SOURCE_REMOVE;
        },
        loop_);
    thread_.join();
    g_dbus_connection_close_sync(connection_, nullptr, nullptr);
    g_object_unref(connection_);
    g_dbus_node_info_unref(info_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
  }

  std::map<uint32_t, Inhibit> inhibits() {
    std::lock_guard guard(mutex_);
    return inhibits_;
  }

 private:
  static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
                     GVariant* args, GDBusMethodInvocation* invocation, gpointer data) {
    auto* self = static_cast<FakeSessionManager*>(data);
    std::lock_guard guard(self->mutex_);
    if (g_strcmp0(method, "Inhibit") == 0) {
      const gchar* app = nullptr;
      const gchar* reason = nullptr;
      guint32 toplevel = 0, flags = 0;
      g_variant_get(args, "(&su&su)", &app, &toplevel, &reason, &flags);
      const uint32_t cookie = ++self->next_;
      self->inhibits_[cookie] = {app, reason, flags};
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", cookie));
    } else {
      guint32 cookie = 0;
      g_variant_get(args, "(u)", &cookie);
      self->inhibits_.erase(cookie);
      g_dbus_method_invocation_return_value(invocation, nullptr);
    }
  }

  GMainContext* context_ = nullptr;
  GMainLoop* loop_ = nullptr;
  GDBusConnection* connection_ = nullptr;
  GDBusNodeInfo* info_ = nullptr;
  std::thread thread_;
  std::mutex mutex_;
  std::map<uint32_t, Inhibit> inhibits_;
  uint32_t next_ = 0;
};

TEST(GnomeIdleInhibitIntegration, HoldsOneIdleInhibitWhileAcquired) {
  test::PrivateSessionBus bus;
  if (!bus.running()) GTEST_SKIP() << bus.whyNot();
  {
    // No session manager on the bus: a refusal, not a hang.
    GnomeIdleInhibit none("Lumenrail is streaming this computer's screen to a device", bus.address());
    EXPECT_FALSE(none.acquire());
    EXPECT_FALSE(none.isHeld());
  }
  FakeSessionManager manager(bus.address());
  {
    GnomeIdleInhibit inhibit("Lumenrail is streaming this computer's screen to a device", bus.address());
    ASSERT_TRUE(inhibit.acquire());
    ASSERT_TRUE(inhibit.acquire());
    const auto held = manager.inhibits();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held.begin()->second.reason, "Lumenrail is streaming this computer's screen to a device");
    EXPECT_EQ(held.begin()->second.flags, GnomeIdleInhibit::kInhibitIdle);
    inhibit.release();
    EXPECT_TRUE(manager.inhibits().empty());
    EXPECT_FALSE(inhibit.isHeld());
    ASSERT_TRUE(inhibit.acquire());  // held again when dropped
    EXPECT_EQ(manager.inhibits().size(), 1u);
  }
  EXPECT_TRUE(manager.inhibits().empty());
}

}  // namespace
}  // namespace lumenrail
