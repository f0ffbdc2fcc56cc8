// Every member of Mutter's services the GNOME adapters use, against the
// interface descriptions shipped beside them (read from Mutter itself).
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "desktop/gnome/MutterCalls.hpp"
#include "platform/DBusConnection.hpp"

namespace lumenrail {
namespace {

using V = DBusValue;

class MutterDescriptions {
 public:
  MutterDescriptions() {
    for (const char* service : {MutterCalls::kRemoteDesktop, MutterCalls::kScreenCast, MutterCalls::kDisplayConfig}) {
      const std::string path = std::string(LUMENRAIL_MUTTER_INTERFACES) + "/" + service + ".xml";
      gchar* text = nullptr;
      GError* error = nullptr;
      GDBusNodeInfo* node = g_file_get_contents(path.c_str(), &text, nullptr, &error)
                                ? g_dbus_node_info_new_for_xml(text, &error)
                                : nullptr;
      g_free(text);
      if (!node) {
        ADD_FAILURE() << path << ": " << error->message;
        g_error_free(error);
        continue;
      }
      nodes_.push_back(node);
    }
  }
  ~MutterDescriptions() {
    for (GDBusNodeInfo* node : nodes_) g_dbus_node_info_unref(node);
  }

  // A member's arguments (a property's type) and a method's reply, as described.
  std::optional<std::pair<std::string, std::string>> types(const MutterMember& m) const {
    for (GDBusNodeInfo* node : nodes_) {
      GDBusInterfaceInfo* in = g_dbus_node_info_lookup_interface(node, m.interface);
      if (!in) continue;
      if (m.kind == MutterMember::Kind::method) {
        if (auto* method = g_dbus_interface_info_lookup_method(in, m.name)) {
          return std::pair{join(method->in_args), join(method->out_args)};
        }
      } else if (m.kind == MutterMember::Kind::signal) {
        if (auto* signal = g_dbus_interface_info_lookup_signal(in, m.name)) return std::pair{join(signal->args), ""};
      } else if (auto* property = g_dbus_interface_info_lookup_property(in, m.name);
                 property && (property->flags & G_DBUS_PROPERTY_INFO_FLAGS_READABLE)) {
        return std::pair{std::string(property->signature), ""};
      }
    }
    return std::nullopt;
  }

 private:
  static std::string join(GDBusArgInfo** args) {
    std::string all;
    for (; args && *args; ++args) all += (*args)->signature;
    return all;
  }
  std::vector<GDBusNodeInfo*> nodes_;
};

TEST(MutterCalls, EveryMemberTheAdaptersUseIsMuttersOwnWithItsTypes) {
  const MutterDescriptions mutter;
  for (const MutterMember* m : MutterCalls::kAll) {
    SCOPED_TRACE(std::string(m->interface) + "." + m->name);
    const auto described = mutter.types(*m);
    ASSERT_TRUE(described) << "not in Mutter's interface descriptions";
    EXPECT_EQ(described->first, m->type);
    if (*m->reply) {
      EXPECT_EQ(described->second, m->reply) << "the adapters read another reply";
    }
  }
}

TEST(MutterCalls, ArgumentsOfAnotherTypeAreRefusedBeforeTheyAreSent) {
  const V monitor = V::tuple({V::string("Meta-0"), V::string("1920x1080@60"), V::vardict({})});
  const V logical = V::tuple({V::int32(0), V::int32(0), V::real(1), V::uint32(0), V::boolean(true),
                              V::list({monitor})});
  const struct {
    const MutterMember& method;
    V args;
    bool sent;
  } cases[] = {
      {MutterCalls::kStart, {}, true},
      {MutterCalls::kPointerButton, V::tuple({V::int32(272), V::boolean(true)}), true},
      {MutterCalls::kPointerButton, V::tuple({V::uint32(272), V::boolean(true)}), false},
      {MutterCalls::kTouchUp, {}, false},
      {MutterCalls::kApplyMonitorsConfig, V::tuple({V::uint32(7), V::uint32(1), V::list({logical}), V::vardict({})}),
       true},
      // No logical monitor at all would go as "av".
      {MutterCalls::kApplyMonitorsConfig, V::tuple({V::uint32(7), V::uint32(1), V::list({}), V::vardict({})}), false},
      {MutterCalls::kSessionId, {}, false},  // a property, not a method
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.method.name) + " (" + DBusConnection::signature(c.args) + ")");
    if (c.sent) {
      EXPECT_NO_THROW(MutterCalls::checkArguments(c.method, c.args));
    } else {
      try {
        MutterCalls::checkArguments(c.method, c.args);
        ADD_FAILURE() << "not refused";
      } catch (const DBusError& e) {
        EXPECT_EQ(e.name, "org.freedesktop.DBus.Error.InvalidArgs");
      }
    }
  }
}

}  // namespace
}  // namespace lumenrail
