// The process entry of the Lumenrail host.
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/SupportActions.hpp"
#include "app/text/L10n.hpp"
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

// Refuses a port the mode would listen on or dial; true when it fits.
bool portUsable(int64_t port) {
  if (const auto problem = HostEntry::portProblem(port)) {
    line("[app] ERROR: " + *problem);
    return false;
  }
  return true;
}

// The self-test needs 30 frames within its reads, and below 8 fps the stream crawls.
constexpr int64_t kWireTestMinFps = 8;

bool wireTestModeUsable(const HostEntry::Plan& plan) {
  if (!portUsable(plan.port)) return false;
  if (const auto problem = HostEntry::modeProblem(plan.width, plan.height, plan.fps, kWireTestMinFps)) {
    line("[app] ERROR: " + *problem);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv, argv + argc);
  const HostEntry::Plan plan = HostEntry::plan(args, Paths::runningInstalled());
  SupportActions::setFactsReader(SupportFactsReader::gather);

  switch (plan.mode) {
    case Mode::version:
      std::printf("%s\nversion %s\n", HostEntry::kProductName, HostEntry::kVersion);
      return 0;
    case Mode::l10nCheck: return L10n::selfCheck();
    // Printed before anything of the tray application starts: no display needed.
    case Mode::supportReport: return SupportActions::printForCommandLine();
    case Mode::renderUi: {
      // The folder is the argument after the switch, else "render-ui" here.
      std::string folder = "render-ui";
      for (size_t i = 1; i + 1 < args.size(); ++i) {
        if (args[i] == "--render-ui") {
          folder = args[i + 1];
          break;
        }
      }
      return RenderUi::run(folder, [](const std::string& text) {
        std::printf("%s\n", text.c_str());
        std::fflush(stdout);
      });
    }
    default: break;
  }
  if (plan.mode == Mode::app || plan.mode == Mode::menubar) {
    if (const auto status = claimInstance()) return *status;
  }
  if (plan.redirectLog) redirectToHostLog();
  Log::makeStdoutUnbuffered();

  // The settings resolution that both "--print-config" and "--m2" use.
  const auto resolvedCli = HostEntry::resolve(HostSettings::cliDefaults(), args);
  const uint16_t port = static_cast<uint16_t>(plan.port);

  switch (plan.mode) {
    case Mode::usbList: return runUsbList();
    case Mode::usbDiag: return runUsbDiag();
    case Mode::usbServeTest: return portUsable(plan.port) ? runUsbServeTest(port) : 2;
    case Mode::usbConnectTest: return portUsable(plan.port) ? runUsbConnectTest(port) : 2;
    default: break;
  }

  std::optional<Bytes> securePsk;
  if (resolvedCli.settings.servesKeyOnlyLinks()) securePsk = Crypto::randomBytes(24);

  switch (plan.mode) {
    case Mode::pairUri: return portUsable(plan.port) ? runPairUri(port, securePsk) : 2;
    case Mode::printConfig: {
      const auto resolved = plan.appMode
                                ? HostEntry::resolve(UserDefaultsSettingsStore(UserDefaults::standard()).load(), args)
                                : resolvedCli;
      if (resolved.portError) {
        line("[app] ERROR: " + *resolved.portError);
        return 2;
      }
      return runPrintConfig(resolved.settings, plan.appMode, plan.isBundled);
    }
    case Mode::m1SelfTest:
      if (!wireTestModeUsable(plan)) return 2;
      line("== lumenrail Linux host — M1 wire self-test ==");
      return runWireSelfTest(plan.width, plan.height, plan.fps, port) ? 0 : 1;
    case Mode::m1:
      if (!wireTestModeUsable(plan)) return 2;
      line("== lumenrail Linux host — M1 wire serve ==");
      runSyntheticServe(plan.width, plan.height, plan.fps, port);
    case Mode::app: return runApplication(args, plan.isBundled);
    case Mode::menubar: {
      // On the command-line defaults; nothing is written to the user defaults.
      if (resolvedCli.portError) {
        line("[app] ERROR: " + *resolvedCli.portError);
        return 2;
      }
      return runMenuBarHost(resolvedCli.settings, std::make_shared<InMemorySettingsStore>(resolvedCli.settings), args,
                            plan.isBundled);
    }
    case Mode::m2: {
      line("== lumenrail Linux host — M2 capture serve ==");
      if (resolvedCli.portError) {
        line("[m2] ERROR: " + *resolvedCli.portError);
        return 2;
      }
      // The session's switches are read here, once.
      return runCaptureServe(resolvedCli.settings, std::move(securePsk), ServeSwitches::read(args, processEnvironment()));
    }
    default:
      return runScaffold(plan.width, plan.height, plan.fps, plan.frames, HostEntry::has(args, "--no-vd"));
  }
}
