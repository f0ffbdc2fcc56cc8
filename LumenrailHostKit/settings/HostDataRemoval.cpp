#include "settings/HostDataRemoval.hpp"

#include <filesystem>
#include <system_error>

#include "links/HostPairingStore.hpp"
#include "platform/Paths.hpp"

namespace lumenrail::HostDataRemoval {

Targets Targets::live() {
  Targets t;
  t.pairingDirectory = HostPairingStore::directory().string();
  t.logDirectory = Paths::logDirectory();
  t.defaults = UserDefaults::standard();
  if (Paths::runningInstalled()) t.defaultsDomain = t.defaults->domain();
  return t;
}

std::vector<std::string> remove(const Targets& targets) {
  namespace fs = std::filesystem;
  std::vector<std::string> failed;
  for (const std::string& dir : {targets.pairingDirectory, targets.logDirectory}) {
    if (dir.empty()) continue;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir, ec))) continue;
    fs::remove_all(dir, ec);
    if (ec) failed.push_back(dir);
  }
  if (targets.defaultsDomain && targets.defaults) {
    if (*targets.defaultsDomain == targets.defaults->domain()) {
      targets.defaults->removePersistentDomain();
    } else {
      UserDefaults(targets.defaults->filePath(), *targets.defaultsDomain).removePersistentDomain();
    }
  }
  return failed;
}

}  // namespace lumenrail::HostDataRemoval
