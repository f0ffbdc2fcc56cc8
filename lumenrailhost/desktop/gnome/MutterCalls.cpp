#include "desktop/gnome/MutterCalls.hpp"

#include "platform/DBusConnection.hpp"

namespace lumenrail::MutterCalls {

void checkArguments(const MutterMember& method, const DBusValue& args) {
  const std::string sent = DBusConnection::signature(args);
  if (method.kind != MutterMember::Kind::method || sent != method.type) {
    throw DBusError("org.freedesktop.DBus.Error.InvalidArgs", std::string(method.interface) + "." + method.name +
                                                                  " takes (" + method.type + "), not (" + sent + ")");
  }
}

DBusValue call(DBusConnection& bus, const std::string& destination, const std::string& path,
               const MutterMember& method, const DBusValue& args, uint64_t timeoutNs) {
  checkArguments(method, args);
  return bus.call(destination, path, method.interface, method.name, args, timeoutNs);
}

}  // namespace lumenrail::MutterCalls
