#pragma once

// How the process entry reads its command line: which mode runs, and the
// values the test modes take. Pure functions, so the table is tested without
// starting anything.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/text/ProductIdentity.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail::HostEntry {

inline constexpr const char* kProductName = "Lumenrail Host";
inline constexpr const char* kVersion = ProductIdentity::kVersion;

enum class Mode {
  version,
  l10nCheck,
  supportReport,
  renderUi,
  usbList,
  usbDiag,
  usbServeTest,
  usbConnectTest,
  pairUri,
  printConfig,
  m1SelfTest,
  m1,
  app,
  menubar,
  m2,
  m0,
};

std::string_view modeName(Mode mode);

struct Plan {
  Mode mode = Mode::m0;
  bool isBundled = false;  // running from an installed tree
  bool forceApp = false;
  bool hasModeFlag = false;
  bool appMode = false;
  bool isConsoleDiagnostic = false;
  // Standard output and error go to the host log only in an installed
  // application start that prints no diagnostic to the terminal.
  bool redirectLog = false;
  // First occurrence of each option, as the test modes read them.
  int64_t width = 1280;
  int64_t height = 720;
  int64_t frames = 120;
  int64_t fps = 60;
  int64_t port = 27184;
};

// Some argument equals `name` exactly (argument 0 included).
bool has(const std::vector<std::string>& args, std::string_view name);

// The integer after the first argument equal to `name`, or `fallback` when
// it is last or not a decimal integer within 64 bits.
int64_t arg(const std::vector<std::string>& args, std::string_view name, int64_t fallback);

// A "--port" value the modes that listen or dial cannot use; nothing when
// `port` fits.
std::optional<std::string> portProblem(int64_t port);

// A size or rate the encoder and the Hello fields cannot carry; nothing
// when they fit. `minFps` is what the mode needs to make progress.
std::optional<std::string> modeProblem(int64_t width, int64_t height, int64_t fps, int64_t minFps = 1);

// What "--m2" serves with and "--print-config" reports: `base` with the
// command line applied (the last occurrence of an option or of a switch pair
// wins), where "--port 0" leaves the choice of port to the system.
struct Resolved {
  HostSettings settings;
  std::optional<std::string> portError;  // the last "--port" is no number in 0...65535
};
Resolved resolve(const HostSettings& base, const std::vector<std::string>& args);

Plan plan(const std::vector<std::string>& args, bool isBundled);

}  // namespace lumenrail::HostEntry
