#include "settings/HostDataRemoval.hpp"

#include <filesystem>
#include <system_error>

#include "platform/Paths.hpp"
#include "secure/HostPairingStore.hpp"

namespace lumenrail::HostDataRemoval {

namespace fs = std::filesystem;

std::optional<Targets> Targets::live(const Environment& env) {
  // HostPairingStore's own default falls back to "/" without a home; here that
  // would remove a folder of the root file system, so the data folder is asked
  // for directly.
  std::string pairing;
  if (const auto dir = HostPairingStore::directoryOverride()) {
    pairing = dir->string();
  } else if (!Paths::dataHome(env).empty()) {
    pairing = HostPairingStore::defaultDirectory(env).string();
  }
  const std::string logs = Paths::logDirectory(env);
  const std::string defaultsFile = Paths::defaultsFile(env);
  if (pairing.empty() || logs.empty() || defaultsFile.empty()) return std::nullopt;

  Targets t;
  t.pairingDirectory = pairing;
  t.logDirectory = logs;
  // The process's own file shares the standard object, so its cached values
  // see the removal.
  t.defaults = defaultsFile == Paths::defaultsFile()
                   ? UserDefaults::standard()
                   : std::make_shared<UserDefaults>(defaultsFile, UserDefaults::kStandardDomain);
  if (Paths::runningInstalled()) t.defaultsDomain = t.defaults->domain();
  return t;
}

namespace {

// Only an absolute path below the root is ever removed.
bool removable(const std::string& dir) {
  const fs::path path(dir);
  return path.is_absolute() && path.lexically_normal() != path.root_path();
}

// Nothing to do for a missing folder; a folder whose presence cannot even be
// read counts as not removed.
bool removeFolder(const std::string& dir) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(dir, ec);
  if (status.type() == fs::file_type::not_found) return true;
  if (ec) return false;
  fs::remove_all(dir, ec);
  return !ec;
}

}  // namespace

std::vector<std::string> remove(const Targets& targets) {
  std::vector<std::string> failed;
  for (const std::string& dir : {targets.pairingDirectory, targets.logDirectory}) {
    if (!removable(dir) || !removeFolder(dir)) failed.push_back(dir);
  }
  if (targets.defaultsDomain && targets.defaults) {
    const bool sameDomain = *targets.defaultsDomain == targets.defaults->domain();
    const std::string problem =
        sameDomain ? targets.defaults->removePersistentDomain()
                   : UserDefaults(targets.defaults->filePath(), *targets.defaultsDomain).removePersistentDomain();
    if (!problem.empty()) failed.push_back(targets.defaults->filePath());
  }
  return failed;
}

}  // namespace lumenrail::HostDataRemoval
