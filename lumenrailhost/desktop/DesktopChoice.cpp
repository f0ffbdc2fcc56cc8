#include "desktop/DesktopChoice.hpp"

#include "desktop/gnome/GnomeDesktopEnvironment.hpp"
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
  if (verdict.kind == Kind::refused) throw Refused(verdict.text);
  log("[m2] desktop: " + verdict.text);
  return environmentFor(verdict.kind);
}

std::shared_ptr<DesktopEnvironment> environmentFor(Kind kind) {
  if (kind == Kind::gnome) return std::make_shared<GnomeDesktopEnvironment>(GnomeDesktopEnvironment::Config{});
  return std::make_shared<X11DesktopEnvironment>("");  // the X display of $DISPLAY
}

std::shared_ptr<DesktopEnvironment> forTray() {
  return environmentFor(decide(processEnvironment(), mutterServicesPresent).kind);
}

std::optional<std::string> whyNoXDisplay() { return X11DesktopEnvironment::whyUnreachable(""); }

std::optional<std::string> whyNotServable() {
  const Verdict verdict = decide(processEnvironment(), mutterServicesPresent);
  if (verdict.kind == Kind::refused) return verdict.text;
  if (verdict.kind != Kind::x11) return std::nullopt;
  const auto why = whyNoXDisplay();
  return why ? std::optional<std::string>("cannot reach the X display: " + *why) : std::nullopt;
}

}  // namespace lumenrail::DesktopChoice
