#include "desktop/gnome/GnomeIdleInhibit.hpp"

#include "platform/DBusConnection.hpp"

namespace lumenrail {

namespace {
constexpr const char* kSessionManager = "org.gnome.SessionManager";
constexpr const char* kSessionManagerPath = "/org/gnome/SessionManager";
}  // namespace

GnomeIdleInhibit::GnomeIdleInhibit(std::string reason, std::string busAddress, uint64_t callTimeoutNs)
    : reason_(std::move(reason)), busAddress_(std::move(busAddress)), callTimeoutNs_(callTimeoutNs) {}

GnomeIdleInhibit::~GnomeIdleInhibit() { release(); }

bool GnomeIdleInhibit::acquire() {
  std::lock_guard guard(mutex_);
  if (bus_) return true;
  try {
    auto bus = DBusConnection::connect(busAddress_, callTimeoutNs_);
    // No window to name: toplevel id 0.
    cookie_ = uint32_t(bus->call(kSessionManager, kSessionManagerPath, kSessionManager, "Inhibit",
                                 DBusValue::tuple({DBusValue::string("lumenrail"), DBusValue::uint32(0),
                                                   DBusValue::string(reason_), DBusValue::uint32(kInhibitIdle)}),
                                 callTimeoutNs_)
                           .at(0)
                           .asUint());
    bus_ = std::move(bus);
    return true;
  } catch (const DBusError&) {
    return false;
  }
}

void GnomeIdleInhibit::release() {
  std::lock_guard guard(mutex_);
  if (!bus_) return;
  try {
    bus_->call(kSessionManager, kSessionManagerPath, kSessionManager, "Uninhibit",
               DBusValue::tuple({DBusValue::uint32(cookie_)}), callTimeoutNs_);
  } catch (const DBusError&) {
    // Closing the connection below ends the inhibit all the same.
  }
  bus_->close();
  bus_.reset();
  cookie_ = 0;
}

bool GnomeIdleInhibit::isHeld() const {
  std::lock_guard guard(mutex_);
  return bus_ != nullptr;
}

}  // namespace lumenrail
