#include "entry/HostEntry.hpp"

#include <algorithm>
#include <array>

#include "media/VideoToolboxEncoder.hpp"

namespace lumenrail::HostEntry {

namespace {

constexpr std::array<std::string_view, 5> kModeFlags = {"--m0", "--m1", "--m1-selftest", "--m2", "--menubar"};

}  // namespace

std::string_view modeName(Mode mode) {
  switch (mode) {
    case Mode::version: return "version";
    case Mode::l10nCheck: return "l10n-check";
    case Mode::supportReport: return "support-report";
    case Mode::renderUi: return "render-ui";
    case Mode::usbList: return "usb-list";
    case Mode::usbDiag: return "usb-diag";
    case Mode::usbServeTest: return "usb-serve-test";
    case Mode::usbConnectTest: return "usb-connect-test";
    case Mode::pairUri: return "pair-uri";
    case Mode::printConfig: return "print-config";
    case Mode::m1SelfTest: return "m1-selftest";
    case Mode::m1: return "m1";
    case Mode::app: return "app";
    case Mode::menubar: return "menubar";
    case Mode::m2: return "m2";
    case Mode::m0: return "m0";
  }
  return "m0";
}

bool has(const std::vector<std::string>& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

int64_t arg(const std::vector<std::string>& args, std::string_view name, int64_t fallback) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return fallback;
  return HostSettings::integerArgument(*(it + 1)).value_or(fallback);
}

std::optional<std::string> portProblem(int64_t port) {
  if (port >= 0 && port <= 65535) return std::nullopt;
  return "--port " + std::to_string(port) + " is outside 0...65535";
}

std::optional<std::string> modeProblem(int64_t width, int64_t height, int64_t fps, int64_t minFps) {
  const std::string label = std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps);
  if (!VideoToolboxEncoder::fits(width, height, fps)) return label + " does not fit the encoder";
  if (fps < minFps) return "--fps " + std::to_string(fps) + " is below " + std::to_string(minFps);
  return std::nullopt;
}

Resolved resolve(const HostSettings& base, const std::vector<std::string>& args) {
  Resolved r{base.applyingArguments(args), std::nullopt};
  const auto port = HostSettings::portArgument(args);
  if (!port.invalid()) return r;
  // The settings leave an unusable port alone, which would serve on another
  // one; the serving modes refuse it instead, except 0 (any free port).
  const auto last = std::find(args.rbegin(), args.rend(), "--port");
  const auto value = last == args.rbegin() ? std::nullopt : HostSettings::integerArgument(*(last - 1));
  if (value == 0) {
    r.settings.port = 0;
  } else if (value) {
    r.portError = portProblem(*value);
  } else {
    r.portError = "--port needs a number in 0...65535";
  }
  return r;
}

Plan plan(const std::vector<std::string>& args, bool isBundled) {
  Plan p;
  p.isBundled = isBundled;
  p.forceApp = has(args, "--app");
  p.hasModeFlag = std::any_of(kModeFlags.begin(), kModeFlags.end(), [&](std::string_view f) { return has(args, f); });
  p.appMode = p.forceApp || (isBundled && !p.hasModeFlag);
  p.isConsoleDiagnostic = has(args, "--print-config") || has(args, "--pair-uri");
  p.redirectLog = p.appMode && isBundled && !p.isConsoleDiagnostic;
  p.width = arg(args, "--width", 1280);
  p.height = arg(args, "--height", 720);
  p.frames = arg(args, "--frames", 120);
  p.fps = arg(args, "--fps", 60);
  p.port = arg(args, "--port", 27184);

  // First match wins, in this order.
  constexpr std::array<std::pair<std::string_view, Mode>, 12> switches = {{
      {"--version", Mode::version},
      {"--l10n-check", Mode::l10nCheck},
      {"--support-report", Mode::supportReport},
      {"--render-ui", Mode::renderUi},
      {"--usb-list", Mode::usbList},
      {"--usb-diag", Mode::usbDiag},
      {"--usb-serve-test", Mode::usbServeTest},
      {"--usb-connect-test", Mode::usbConnectTest},
      {"--pair-uri", Mode::pairUri},
      {"--print-config", Mode::printConfig},
      {"--m1-selftest", Mode::m1SelfTest},
      {"--m1", Mode::m1},
  }};
  for (const auto& [flag, mode] : switches) {
    if (has(args, flag)) {
      p.mode = mode;
      return p;
    }
  }
  if (p.appMode) {
    p.mode = Mode::app;
  } else if (has(args, "--menubar")) {
    p.mode = Mode::menubar;
  } else if (has(args, "--m2")) {
    p.mode = Mode::m2;
  } else {
    p.mode = Mode::m0;
  }
  return p;
}

}  // namespace lumenrail::HostEntry
