#include "entry/CaptureServe.hpp"

#include <atomic>
#include <csignal>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include "desktop/DesktopChoice.hpp"
#include "entry/ServeBanner.hpp"
#include "links/LanAddress.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "session/M2Pipeline.hpp"
#include "session/PairingSupport.hpp"
#include "settings/OpenServing.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {

// A stop waits this long for the display server; then the desktop's connections are cut,
// which makes every call still waiting on the server return, and the stop
// gets a little longer to finish. A stop still blocked after that (inside a
// connect that cannot be cut) ends the process without it: the next start
// removes the virtual display it leaves.
constexpr uint64_t kStopWaitNs = 3 * kNsPerSecond;
constexpr uint64_t kStopAfterCutNs = 1500 * kNsPerMs;

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGTERM";
  }
}

// Stops the session, waits for the start thread and removes what a stop by
// signal may still have left, all on a thread of its own under the bounds
// above. Returns `status`, or 1 when the stop had to be left unfinished.
int stopWithin(std::shared_ptr<M2Pipeline> pipeline, const std::weak_ptr<DesktopEnvironment>& desktop,
               NamedThread& starter, int status) {
  auto done = std::make_shared<OneShotEvent>();
  NamedThread stopper("lumenrail-m2-stop", [pipeline = std::move(pipeline), &starter, done]() mutable {
    pipeline->stopServing();
    starter.join();
    VirtualDisplayManager::removeAllAdded();
    pipeline.reset();  // its threads end here too, inside the bound
    done->signal();
  });
  if (!done->waitFor(kStopWaitNs)) {
    Log::line("[m2] WARN: stopping takes longer than 3 s — the display server does not answer; cutting its connections");
    if (const auto served = desktop.lock()) served->cutConnections();
    if (!done->waitFor(kStopAfterCutNs)) {
      Log::line("[m2] WARN: stop still blocked — exiting without it; the next start removes what it left");
      ::_exit(1);
    }
  }
  stopper.join();
  return status;
}

}  // namespace

int runCaptureServe(const HostSettings& settings, std::optional<Bytes> psk, ServeSwitches switches) {
  // Blocked before any thread exists, so every thread inherits the mask and
  // the signals reach only the sigwait below. SIGHUP is a closed terminal,
  // stopped like SIGTERM; SIGUSR2 is the start thread's "could not start".
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  sigaddset(&signals, SIGUSR2);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // Never raised while blocked: a host in the background of a terminal with
  // "stty tostop" writes its lines instead of being stopped (with every
  // device, and a private X server in the same job, waiting for "fg").
  sigset_t terminalStops;
  sigemptyset(&terminalStops);
  sigaddset(&terminalStops, SIGTTIN);
  sigaddset(&terminalStops, SIGTTOU);
  pthread_sigmask(SIG_BLOCK, &terminalStops, nullptr);

  // What would stop the serve is said first, in one line each: a taken or
  // reserved port, a desktop that cannot be served or an X display that
  // cannot be reached; otherwise every part of the start fails on its own.
  if (const auto problem = settings.port != 0 ? WireServer::listenProblem(settings.port) : std::nullopt) {
    Log::line("[m2] ERROR: " + *problem);
    return 2;
  }
  if (const auto why = DesktopChoice::whyNotServable()) {
    Log::line("[m2] ERROR: " + *why);
    return 2;
  }
  M2Pipeline::Config config;
  try {
    config.desktop = DesktopChoice::make([](const std::string& text) { Log::line(text); });
  } catch (const DesktopChoice::Refused& e) {
    Log::line("[m2] ERROR: " + std::string(e.what()));
    return 2;
  }
  // Said once, before anything listens: nothing else would tell the user.
  if (OpenServing::isOpen(settings.pairingEnabled, psk.has_value())) {
    Log::line(OpenServing::warning("m2", "--pair: you approve each new device"));
  }
  // The console answers for the owner; a device that leaves has its question
  // withdrawn rather than left up for nobody.
  if (settings.pairingEnabled) {
    config.pairing = PairingSupport::load(PairingSupport::consoleApprove, PairingSupport::consoleCancel);
    // Pairing was asked for: serving without it would hand the screen to
    // anyone on the network.
    if (!config.pairing) {
      Log::line("[m2] ERROR: --pair was given but pairing cannot start (see above) — not serving");
      return 2;
    }
  }
  config.mode = {settings.width, settings.height, settings.fps};
  config.port = settings.port;
  config.captureMain = settings.captureMain;
  config.usb = settings.usbEnabled;
  config.psk = psk;
  config.penHighRate = settings.penHighRate;
  config.switches = std::move(switches);
  // For the stop: its connections are what a stuck stop cuts. Not owned, so
  // the desktop still ends with the session, inside the stop's bound.
  const std::weak_ptr<DesktopEnvironment> desktop = config.desktop;
  std::shared_ptr<M2Pipeline> pipeline;
  try {
    pipeline = M2Pipeline::create(std::move(config));
  } catch (const std::exception& e) {
    Log::line("[m2] ERROR: " + std::string(e.what()));
    return 2;
  }

  // Started on a thread of its own so a signal during a slow start still
  // reaches the sigwait and stops it.
  auto startFailed = std::make_shared<std::atomic<bool>>(false);
  const std::optional<Bytes> linkKey = psk;
  NamedThread starter("lumenrail-m2-start", [pipeline, startFailed, linkKey] {
    if (!pipeline->startServing()) {
      *startFailed = true;
      ::kill(::getpid(), SIGUSR2);
      return;
    }
    // A headless console is all the user has to find this host by (and the
    // fresh key of --secure exists nowhere else).
    Log::line(ServeBanner::text(LanAddress::candidates(), pipeline->boundPort(), linkKey, ServeBanner::wantsQr()));
  });

  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGUSR2) {
      if (!startFailed->load()) continue;
      return stopWithin(std::move(pipeline), desktop, starter, 2);
    }
    Log::line(std::string("[m2] ") + signalName(signal) + " — stopping");
    const int status = stopWithin(std::move(pipeline), desktop, starter, 0);
    Log::line("[m2] stopped");
    return status;
  }
}

}  // namespace lumenrail
