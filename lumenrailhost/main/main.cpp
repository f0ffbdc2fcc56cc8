// The process entry of the Lumenrail host.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/LoginItem.hpp"
#include "app/controller/SupportActions.hpp"
#include "app/locale/LocaleFormat.hpp"
#include "desktop/SupportFactsReader.hpp"
#include "entry/CaptureServe.hpp"
#include "entry/ConsoleModes.hpp"
#include "entry/HostEntry.hpp"
#include "entry/UsbModes.hpp"
#include "entry/WireSelfTest.hpp"
#include "platform/Crypto.hpp"
#include "platform/Log.hpp"
#include "platform/Paths.hpp"
#include "platform/ProcessEnvironment.hpp"
#include "platform/UserDefaults.hpp"
#include "settings/HostSettingsStore.hpp"
#include "text/L10n.hpp"
#include "trayapp/MenuBarHost.hpp"
#include "ui/RenderUi.hpp"

namespace {

using namespace lumenrail;
using HostEntry::Mode;
using Log::line;

// An installed application start writes to the host log. It holds pairing
// codes and fingerprints (owner-only) and a start that runs for weeks must
// not fill the disk: bounded, with the previous file kept once.
constexpr int64_t kHostLogBytes = 10 * 1024 * 1024;

void redirectToHostLog() {
  const std::string folder = Paths::logDirectory();
  if (folder.empty()) return;
  Log::toFile(std::filesystem::path(folder) / "host.log", kHostLogBytes);
}

// ICU names the C and POSIX locales "en_US_POSIX", which no user chose, and
// takes an empty LC_ALL for a locale without a name: the report names what
// the environment set instead.
std::string reportedLocale() {
  const std::string icu = LocaleFormat::currentLocale();
  if (!icu.empty() && icu != "en_US_POSIX") return icu;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

}  // namespace

int main(int argc, char** argv) {
  // Read once, here: every mode below sees "--port=N" as "--port" "N".
  const std::vector<std::string> args = HostEntry::splitValues(std::vector<std::string>(argv, argv + argc));
  const HostEntry::Plan plan = HostEntry::plan(args, Paths::runningInstalled());
  if (plan.mode == Mode::help) {
    std::fputs(HostEntry::usageText().c_str(), stdout);
    return 0;
  }
  // Before anything starts: a typo must not serve, touch a display or open a socket.
  if (const auto refusal = HostEntry::refusal(args)) {
    std::fprintf(stderr, "lumenrailhost: %s\n", refusal->c_str());
    return 2;
  }
  SupportActions::setFactsReader([] {
    SupportFacts facts = SupportFactsReader::gather();
    facts.openAtLogin = facts.installed && LoginItem::isEnabled(Paths::autostartEntry());
    facts.locale = reportedLocale();
    return facts;
  });

  switch (plan.mode) {
    case Mode::version:
      std::printf("%s\nversion %s\n", HostEntry::kProductName, HostEntry::kVersion);
      return 0;
    case Mode::l10nCheck: return L10n::selfCheck();
    // Printed before anything of the tray application starts: no display needed.
    case Mode::supportReport: return SupportActions::printForCommandLine();
    case Mode::renderUi:
      // Said once, before anything is drawn: every file would fail alike.
      if (const auto why = unwritableFolder(plan.renderUiFolder)) {
        std::printf("render-ui: %s\n", why->c_str());
        return 1;
      }
      return RenderUi::run(plan.renderUiFolder, [](const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
      });
    default: break;
  }
  if (plan.mode == Mode::app || plan.mode == Mode::menubar) {
    if (const auto status = claimInstance()) return *status;
  }
  if (plan.redirectLog) redirectToHostLog();
  Log::makeStdoutUnbuffered();

  // The settings resolution that both "--print-config" and "--m2" use.
  const HostSettings cliSettings = HostEntry::resolve(HostSettings::cliDefaults(), args);
  const uint16_t port = static_cast<uint16_t>(plan.port);

  switch (plan.mode) {
    case Mode::usbList: return runUsbList();
    case Mode::usbDiag: return runUsbDiag();
    case Mode::usbServeTest: return runUsbServeTest(port);
    case Mode::usbConnectTest: return runUsbConnectTest(port);
    default: break;
  }

  std::optional<Bytes> securePsk;
  if (cliSettings.servesKeyOnlyLinks()) securePsk = Crypto::randomBytes(24);

  switch (plan.mode) {
    case Mode::pairUri: return runPairUri(port, securePsk);
    case Mode::printConfig: {
      const HostSettings settings =
          plan.appMode ? HostEntry::resolve(UserDefaultsSettingsStore(UserDefaults::standard()).load(), args)
                       : cliSettings;
      return runPrintConfig(settings, plan.appMode, plan.isBundled);
    }
    case Mode::m1SelfTest:
      line("== lumenrail Linux host — M1 wire self-test ==");
      // A free port unless one is asked for, so it runs beside a serving host.
      return runWireSelfTest(plan.width, plan.height, plan.fps, plan.portGiven ? port : 0) ? 0 : 1;
    case Mode::m1:
      line("== lumenrail Linux host — M1 wire serve ==");
      runSyntheticServe(plan.width, plan.height, plan.fps, port);
    case Mode::app: return runApplication(args, plan.isBundled);
    case Mode::menubar:
      // On the command-line defaults; nothing is written to the user defaults.
      return runMenuBarHost(cliSettings, std::make_shared<InMemorySettingsStore>(cliSettings), args, plan.isBundled);
    case Mode::m2:
      line("== lumenrail Linux host — M2 capture serve ==");
      // The session's switches are read here, once.
      return runCaptureServe(cliSettings, std::move(securePsk), ServeSwitches::read(args, processEnvironment()));
    default:
      return runScaffold(plan.width, plan.height, plan.fps, plan.frames, HostEntry::has(args, "--no-vd"));
  }
}
