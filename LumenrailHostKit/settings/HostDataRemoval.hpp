#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ProcessEnvironment.hpp"
#include "platform/UserDefaults.hpp"

namespace lumenrail::HostDataRemoval {

struct Targets {
  std::string pairingDirectory;
  std::string logDirectory;
  std::shared_ptr<UserDefaults> defaults;
  std::optional<std::string> defaultsDomain;  // present only when running installed

  // The host's real folders and its standard defaults, located through `env`
  // (the XDG folders, else the home folder). Nothing when any of them cannot be
  // located (no home folder and no XDG folder set): removal must never act on
  // a guessed or relative path.
  static std::optional<Targets> live(const Environment& env = processEnvironment());
};

// Removes the pairing folder, then the log folder (each when present), then
// the defaults domain when one is set. Returns what could not be removed, never
// stopping early: a folder path that is not absolute or is the root folder is
// refused untouched and listed as it stands; a defaults domain that cannot be
// rewritten lists the defaults file.
std::vector<std::string> remove(const Targets& targets);

}  // namespace lumenrail::HostDataRemoval
