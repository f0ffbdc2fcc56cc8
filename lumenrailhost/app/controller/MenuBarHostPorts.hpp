#pragma once

// What the tray controller is given: the executors, the desktop's services
// behind their ports, the session and update-check factories, the windows,
// and what the start-up read of the command line.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "app/controller/AppPorts.hpp"
#include "app/controller/ControllerPorts.hpp"
#include "app/controller/ServingSession.hpp"
#include "app/windows/RenamePrompt.hpp"
#include "app/windows/WindowPorts.hpp"
#include "platform/Bytes.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "platform/UserDefaults.hpp"
#include "ports/HostPermissions.hpp"

namespace lumenrail {

struct MenuBarHostPorts {
  // The GUI thread's executor; its clock times the controller.
  std::shared_ptr<Executor> main;
  std::shared_ptr<Executor> serveQueue;
  std::shared_ptr<StatusItem> statusItem;
  std::shared_ptr<AlertRunner> alerts;
  std::shared_ptr<UrlOpener> opener;
  std::shared_ptr<UserDefaults> defaults;
  std::shared_ptr<HostPermissions::Probe> probe;
  std::shared_ptr<Notifier> notifier;
  std::shared_ptr<SleepAssertion> displayAwake;
  SessionFactory makeSession;
  // The pairing configuration with the owner's alert; nothing when it
  // cannot be loaded.
  std::function<std::optional<PairingPrologue::Pairing>()> loadPairing;
  UpdateCheckerFactory makeUpdateChecker;
  std::function<Bytes(int64_t)> randomKey;
  // Ends the main loop.
  std::function<void()> terminate;
  WindowSeams windows;
  std::shared_ptr<RenamePrompt> renamePrompt;
  std::shared_ptr<LoginItemPort> loginItem;
  // Removes the host's folders and defaults; what could not go is ignored.
  // The tray's start-up finds them; nothing is removed without it.
  std::function<void()> removeHostData;
  // Leaves the process at once with status 0, after the host's data is gone:
  // nothing may write it again on the way out.
  std::function<void()> exitProcess;
  bool installed = false;
  // The command line asked for the setup assistant ("--setup").
  bool setupRequested = false;
  Log::Sink log = Log::line;
  Log::Sink errorLog;  // standard error when unset
};

}  // namespace lumenrail
