#include "entry/HostEntry.hpp"

#include <algorithm>
#include <array>

#include "wire/ClientModePolicy.hpp"

namespace lumenrail::HostEntry {

namespace {

constexpr std::array<std::string_view, 5> kModeFlags = {"--m0", "--m1", "--m1-selftest", "--m2", "--menubar"};

// The one-shot and test modes; the first listed on a command line wins.
constexpr std::array<std::pair<std::string_view, Mode>, 12> kModeSwitches = {{
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

// Switches read by a mode, the session or the tray application.
constexpr std::array<std::string_view, 8> kOtherSwitches = {"--help",  "-h",          "--app",       "--no-vd",
                                                            "--audio", "--audio-sck", "--audio-aac", "--setup"};
// Settings switches, each with its "--no-" twin.
constexpr std::array<std::string_view, 8> kSwitchPairs = {"capture-main", "pen-hirate", "usb",       "secure",
                                                          "pair",         "key-only-links", "autostart", "update-check"};

struct IntegerOption {
  std::string_view name;
  int64_t min;
  int64_t max;
  bool even;
};
constexpr std::array<IntegerOption, 5> kIntegerOptions = {{
    {"--width", kMinSide, kMaxSide, true},
    {"--height", kMinSide, kMaxSide, true},
    {"--fps", kMinFps, kMaxFps, false},
    {"--port", 0, 65535, false},
    {"--frames", 1, kMaxFrames, false},
}};

// Options whose value is the next word.
constexpr std::array<std::string_view, 7> kValueOptions = {"--width", "--height",         "--fps",      "--port",
                                                           "--frames", "--connect-notice", "--render-ui"};

std::string rangeText(const IntegerOption& o) {
  return std::string(o.even ? "an even number in " : "a number in ") + std::to_string(o.min) + "..." +
         std::to_string(o.max);
}

bool knownSwitch(std::string_view word) {
  const auto is = [word](std::string_view s) { return s == word; };
  if (std::any_of(kModeFlags.begin(), kModeFlags.end(), is)) return true;
  if (std::any_of(kOtherSwitches.begin(), kOtherSwitches.end(), is)) return true;
  if (std::any_of(kModeSwitches.begin(), kModeSwitches.end(), [word](const auto& m) { return m.first == word; })) {
    return true;
  }
  std::string_view name = word;
  if (!name.starts_with("--")) return false;
  name.remove_prefix(2);
  if (name.starts_with("no-")) name.remove_prefix(3);
  return std::find(kSwitchPairs.begin(), kSwitchPairs.end(), name) != kSwitchPairs.end();
}

// The value after the last `name`, or `fallback`; the command line is already checked.
int64_t lastValue(const std::vector<std::string>& args, std::string_view name, int64_t fallback) {
  const auto it = std::find(args.rbegin(), args.rend(), name);
  if (it == args.rend() || it == args.rbegin()) return fallback;
  return HostSettings::integerArgument(*(it - 1)).value_or(fallback);
}

std::optional<std::string> pixelRateProblem(int64_t width, int64_t height, int64_t fps) {
  if (width * height * fps <= ClientModePolicy::maxPixelsPerSecond) return std::nullopt;
  return std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps) +
         " is more pixels a second than 3840x2160@60";
}

}  // namespace

std::string_view modeName(Mode mode) {
  switch (mode) {
    case Mode::help: return "help";
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

std::vector<std::string> splitValues(const std::vector<std::string>& args) {
  std::vector<std::string> out;
  out.reserve(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    const size_t equals = word.find('=');
    const std::string_view name = std::string_view(word).substr(0, equals);
    if (i == 0 || equals == std::string::npos ||
        std::find(kValueOptions.begin(), kValueOptions.end(), name) == kValueOptions.end()) {
      out.push_back(word);
      continue;
    }
    out.emplace_back(name);
    out.push_back(word.substr(equals + 1));
  }
  return out;
}

bool has(const std::vector<std::string>& args, std::string_view name) {
  return std::find(args.begin(), args.end(), name) != args.end();
}

int64_t arg(const std::vector<std::string>& args, std::string_view name, int64_t fallback) {
  const auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return fallback;
  return HostSettings::integerArgument(*(it + 1)).value_or(fallback);
}

std::optional<std::string> refusal(const std::vector<std::string>& args) {
  const std::string hint = " (lumenrailhost --help lists what it takes)";
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    const auto option = std::find_if(kIntegerOptions.begin(), kIntegerOptions.end(),
                                      [&](const IntegerOption& o) { return o.name == word; });
    if (option != kIntegerOptions.end()) {
      if (i + 1 == args.size() || args[i + 1].empty()) return word + " needs " + rangeText(*option);
      const std::string& text = args[++i];
      const auto value = HostSettings::integerArgument(text);
      if (!value || *value < option->min || *value > option->max || (option->even && *value % 2 != 0)) {
        return word + " " + text + " is not " + rangeText(*option);
      }
      continue;
    }
    if (word == "--connect-notice") {
      if (i + 1 == args.size() || args[i + 1].empty()) return word + " needs one of wifi, always, off";
      const std::string& text = args[++i];
      if (!ConnectNotices::fromRawValue(text)) return word + " " + text + " is not one of wifi, always, off";
      continue;
    }
    if (word == "--render-ui" && i + 1 < args.size() && !args[i + 1].starts_with("-")) {
      if (args[i + 1].empty()) return "--render-ui names no folder";
      ++i;  // its folder
      continue;
    }
    if (knownSwitch(word)) continue;
    if (word.starts_with("-")) return "unknown option " + word + hint;
    return "unexpected word \"" + word + "\"" + hint;
  }
  // The test modes read the first occurrence, the settings the last.
  if (auto p = pixelRateProblem(arg(args, "--width", 1280), arg(args, "--height", 720), arg(args, "--fps", 60))) {
    return p;
  }
  if (auto p = pixelRateProblem(lastValue(args, "--width", 1280), lastValue(args, "--height", 720),
                                lastValue(args, "--fps", 60))) {
    return p;
  }
  if (has(args, "--pair-uri") && arg(args, "--port", 27184) == 0) {
    return "--pair-uri needs the port a host serves on; --port 0 names none";
  }
  return std::nullopt;
}

HostSettings resolve(const HostSettings& base, const std::vector<std::string>& args) {
  HostSettings s = base.applyingArguments(args);
  // The settings take no port 0; a command-line serve leaves it to the system.
  if (lastValue(args, "--port", -1) == 0) s.port = 0;
  return s;
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

  p.portGiven = has(args, "--port");
  if (has(args, "--help") || has(args, "-h")) {
    p.mode = Mode::help;
    return p;
  }
  for (size_t i = 1; i + 1 < args.size(); ++i) {
    if (args[i] == "--render-ui") {
      if (!args[i + 1].starts_with("-")) p.renderUiFolder = args[i + 1];
      break;
    }
  }
  // First match wins, in this order.
  for (const auto& [flag, mode] : kModeSwitches) {
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
