#include "trayapp/HostRelaunch.hpp"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace lumenrail::HostRelaunch {

void execAgain(std::vector<std::string> arguments, const Log::Sink& log) {
  if (arguments.empty()) arguments.push_back("lumenrailhost");
  std::vector<char*> argv;
  for (auto& part : arguments) argv.push_back(part.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  // The stop signals were blocked for this process's signalfd; the new image
  // must be stoppable from its first instruction (a stop already pending
  // ends this process here, as the user asked).
  sigset_t none;
  sigemptyset(&none);
  ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
  // The running image, wherever it was started from.
  ::execv("/proc/self/exe", argv.data());
  if (log) log("[menubar] WARN: relaunch failed — start Lumenrail again");
}

}  // namespace lumenrail::HostRelaunch
