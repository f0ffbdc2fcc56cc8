#pragma once

// How the process entry reads its command line: which mode runs, and the
// values the test modes take. Pure functions, so the table is tested without
// starting anything.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/HostSettings.hpp"
#include "text/ProductIdentity.hpp"

namespace lumenrail::HostEntry {

inline constexpr const char* kProductName = "Lumenrail Host";
inline constexpr const char* kVersion = ProductIdentity::kVersion;

enum class Mode {
  help,
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
  bool portGiven = false;
  // Where "--render-ui" writes: the word after it, else "render-ui" here.
  std::string renderUiFolder = "render-ui";
};

// The command line with every "--name=value" of an option that takes a value
// as the two words "--name" "value", as GNU programs take them; nothing else
// changes (a switch with "=" stays one word, and is refused).
std::vector<std::string> splitValues(const std::vector<std::string>& args);

// Some argument equals `name` exactly (argument 0 included).
bool has(const std::vector<std::string>& args, std::string_view name);

// The integer after the first argument equal to `name`, or `fallback` when
// it is last or not a decimal integer within 64 bits.
int64_t arg(const std::vector<std::string>& args, std::string_view name, int64_t fallback);

// The ranges the command line takes. Sizes and rates follow what a client's
// display-mode request is sanitised to (sides even so the encoder takes them;
// at least 64 for HEVC's coding block), including its pixel-rate bound.
inline constexpr int64_t kMinSide = 64;
inline constexpr int64_t kMaxSide = 4096;
inline constexpr int64_t kMinFps = 24;
inline constexpr int64_t kMaxFps = 120;
inline constexpr int64_t kMaxFrames = 100000;

// The one line that refuses a command line before anything starts: a word no
// mode knows, or a value outside its range; nothing when every word fits.
std::optional<std::string> refusal(const std::vector<std::string>& args);

// "--help": the modes, the options with their ranges, the environment and the files.
std::string usageText();

// What "--m2" serves with and "--print-config" reports: `base` with the
// command line applied (the last occurrence of an option or of a switch pair
// wins), where "--port 0" leaves the choice of port to the system.
HostSettings resolve(const HostSettings& base, const std::vector<std::string>& args);

Plan plan(const std::vector<std::string>& args, bool isBundled);

}  // namespace lumenrail::HostEntry
