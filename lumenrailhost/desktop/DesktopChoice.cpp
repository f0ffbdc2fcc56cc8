#include "desktop/DesktopChoice.hpp"

#include "desktop/gnome/GnomeDesktopEnvironment.hpp"
#include "desktop/gnome/GnomeIdleInhibit.hpp"
#include "desktop/x11/DisplaySleepAssertion.hpp"
#include "desktop/x11/LinuxPermissionProbe.hpp"
#include "desktop/x11/X11DesktopEnvironment.hpp"
#include "platform/DBusConnection.hpp"

namespace lumenrail::DesktopChoice {

namespace {

constexpr uint64_t kProbeTimeoutNs = 2 * kNsPerSecond;

std::string valueOf(const Environment& environment, const std::string& key) {
  const auto it = environment.find(key);
  return it == environment.end() ? std::string() : it->second;
}

const char* const kSupported =
    "the host serves any X11 session and GNOME on Wayland; log in to \"GNOME\" or to an X11 session "
    "(\"GNOME on Xorg\", or any X11 desktop) and start it again";

// One assertion behind the controller's port, whichever desktop holds it.
template <typename Assertion>
class HeldAwake final : public SleepAssertion {
 public:
  explicit HeldAwake(const std::string& reason) : assertion_(reason) {}
  bool acquire() override { return assertion_.acquire(); }
  void release() override { assertion_.release(); }

 private:
  Assertion assertion_;
};

// Mutter's screen cast needs no grant of its own, and its remote-desktop
// session posts input without /dev/uinput.
class GnomePermissionProbe final : public HostPermissions::Probe {
 public:
  bool screenCapture() override { return mutterServicesPresent(processEnvironment()); }
  bool mayPostInput() override { return mutterServicesPresent(processEnvironment()); }
};

}  // namespace

Verdict decide(const Environment& environment, const MutterProbe& probe) {
  const std::string forced = valueOf(environment, "LUMENRAIL_DESKTOP");
  const std::string wayland = valueOf(environment, "WAYLAND_DISPLAY");
  const std::string x = valueOf(environment, "DISPLAY");
  if (forced == "x11") return {Kind::x11, "X11 (forced by LUMENRAIL_DESKTOP)"};
  if (forced == "gnome") return {Kind::gnome, "GNOME on Wayland (forced by LUMENRAIL_DESKTOP)"};
  if (!forced.empty()) {
    return {Kind::refused, "LUMENRAIL_DESKTOP=" + forced + " is not a desktop this host knows (x11 or gnome)"};
  }
  if (!wayland.empty()) {
    if (probe(environment)) return {Kind::gnome, "GNOME on Wayland (" + wayland + ")"};
    return {Kind::refused, "this Wayland session is not GNOME (no org.gnome.Mutter.RemoteDesktop and "
                           "org.gnome.Mutter.ScreenCast on its session bus) — " + std::string(kSupported)};
  }
  if (!x.empty()) return {Kind::x11, "X11 (" + x + ")"};
  return {Kind::refused, "no desktop session (neither WAYLAND_DISPLAY nor DISPLAY is set) — " +
                             std::string(kSupported) + ", or run scripts/run, which starts a headless X server"};
}

bool mutterServicesPresent(const Environment& environment) {
  try {
    auto bus = DBusConnection::connect(valueOf(environment, "DBUS_SESSION_BUS_ADDRESS"), kProbeTimeoutNs);
    return bus->nameHasOwner("org.gnome.Mutter.RemoteDesktop", kProbeTimeoutNs) &&
           bus->nameHasOwner("org.gnome.Mutter.ScreenCast", kProbeTimeoutNs);
  } catch (const DBusError&) {
    return false;
  }
}

std::shared_ptr<DesktopEnvironment> make(const Log::Sink& log) {
  const Verdict verdict = decide(processEnvironment(), mutterServicesPresent);
  switch (verdict.kind) {
    case Kind::x11:
      log("[m2] desktop: " + verdict.text);
      return std::make_shared<X11DesktopEnvironment>("");  // the X display of $DISPLAY
    case Kind::gnome:
      log("[m2] desktop: " + verdict.text);
      return std::make_shared<GnomeDesktopEnvironment>(GnomeDesktopEnvironment::Config{});
    case Kind::refused:
      break;
  }
  throw Refused(verdict.text);
}

std::shared_ptr<SleepAssertion> makeDisplayAwake(const std::string& reason) {
  if (decide(processEnvironment(), mutterServicesPresent).kind == Kind::gnome) {
    return std::make_shared<HeldAwake<GnomeIdleInhibit>>(reason);
  }
  return std::make_shared<HeldAwake<DisplaySleepAssertion>>(reason);
}

std::shared_ptr<HostPermissions::Probe> makePermissionProbe() {
  if (decide(processEnvironment(), mutterServicesPresent).kind == Kind::gnome) {
    return std::make_shared<GnomePermissionProbe>();
  }
  return std::make_shared<LinuxPermissionProbe>();
}

}  // namespace lumenrail::DesktopChoice
