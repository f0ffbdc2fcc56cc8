#include "trayapp/HostRelaunch.hpp"

#include <unistd.h>

#include <cstdio>

namespace lumenrail::HostRelaunch {

void execAgain(std::vector<std::string> arguments, const Log::Sink& log) {
  if (arguments.empty()) arguments.push_back("lumenrailhost");
  std::vector<char*> argv;
  for (auto& part : arguments) argv.push_back(part.data());
  argv.push_back(nullptr);
  std::fflush(nullptr);
  // The running image, wherever it was started from.
  ::execv("/proc/self/exe", argv.data());
  if (log) log("[menubar] WARN: relaunch failed — start Lumenrail again");
}

}  // namespace lumenrail::HostRelaunch
