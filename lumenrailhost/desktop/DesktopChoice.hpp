#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "desktop/DesktopEnvironment.hpp"
#include "platform/ProcessEnvironment.hpp"

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

// The desktop environment of `kind`, of this process's session; nothing is
// opened yet. A refused session gets the X11 one, which finds no X server:
// the tray still shows its grants and holds its display-awake through it.
std::shared_ptr<DesktopEnvironment> environmentFor(Kind kind);

// The desktop environment of this process's session without a line and
// without refusing, for what the tray application takes before it serves
// (the display-awake, the grants).
std::shared_ptr<DesktopEnvironment> forTray();

// Why the windows could not reach the X display of $DISPLAY (nothing when
// they can), whichever desktop is served: Qt ends a process whose X display
// it cannot open.
std::optional<std::string> whyNoXDisplay();

// Why this process's session cannot be served, in one line: a desktop make()
// refuses, or an X display that cannot be reached (no server, no cookie);
// nothing when it can. For a command-line start, before its threads run: it
// takes what libxcb writes to standard error meanwhile.
std::optional<std::string> whyNotServable();

}  // namespace DesktopChoice

}  // namespace lumenrail
