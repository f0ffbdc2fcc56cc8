#include "WindowPorts.hpp"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <thread>

#include "platform/Paths.hpp"

extern char** environ;

namespace lumenrail {

bool SystemLoginItem::available() const { return Paths::runningInstalled(); }
bool SystemLoginItem::isEnabled() const { return LoginItem::isEnabled(); }
std::optional<LoginItem::Note> SystemLoginItem::setEnabled(bool enabled) { return LoginItem::setEnabled(enabled); }

ProgramLauncher spawnLauncher() {
  return [](const std::vector<std::string>& argv) {
    if (argv.empty()) return false;
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
    // Reaped off the GUI thread so no zombie stays behind.
    std::thread([pid] {
      int status = 0;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
    return true;
  };
}

}  // namespace lumenrail
