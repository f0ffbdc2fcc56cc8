#pragma once

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "desktop/DesktopEnvironment.hpp"
#include "platform/ProcessEnvironment.hpp"
#include "ports/HostPermissions.hpp"
#include "ports/SleepAssertion.hpp"

namespace lumenrail {

// The one place that decides which desktop the host serves; nothing else
// in the program branches on it.
namespace DesktopChoice {

enum class Kind : uint8_t { x11, gnome, refused };

struct Verdict {
  Kind kind = Kind::refused;
  // What the start line names, or the refusal's text.
  std::string text;
  bool operator==(const Verdict&) const = default;
};

// Thrown by make() for a desktop the host cannot serve; what() is the text
// the user reads.
class Refused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Whether the session bus of `environment` has both of Mutter's services.
using MutterProbe = std::function<bool(const Environment& environment)>;

// WAYLAND_DISPLAY with Mutter's services: GNOME; DISPLAY without Wayland:
// X11; any other Wayland desktop: refused. LUMENRAIL_DESKTOP=x11 or gnome
// forces one. The probe is asked only where the answer matters.
Verdict decide(const Environment& environment, const MutterProbe& probe);

bool mutterServicesPresent(const Environment& environment);

// The desktop environment of this process's session, after one "[m2] " line
// naming it on `log`. Throws Refused.
std::shared_ptr<DesktopEnvironment> make(const Log::Sink& log);

// What keeps this session's display awake: GNOME's idle inhibit on GNOME,
// the X screen saver suspended elsewhere (it acquires nothing without X).
std::shared_ptr<SleepAssertion> makeDisplayAwake(const std::string& reason);

// The grants as this session's desktop gives them: on GNOME, Mutter's
// services (which need no X server); elsewhere the X display and XTest or uinput.
std::shared_ptr<HostPermissions::Probe> makePermissionProbe();

}  // namespace DesktopChoice

}  // namespace lumenrail
