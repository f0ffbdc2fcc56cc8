#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/UserDefaults.hpp"

namespace lumenrail::HostDataRemoval {

struct Targets {
  std::string pairingDirectory;
  std::string logDirectory;
  std::shared_ptr<UserDefaults> defaults;
  std::optional<std::string> defaultsDomain;  // present only when running installed

  // The host's real folders and its standard defaults.
  static Targets live();
};

// Removes the pairing folder, then the log folder (each when present), then
// the defaults domain when one is set. Returns the paths that could not be
// removed; never stops early.
std::vector<std::string> remove(const Targets& targets);

}  // namespace lumenrail::HostDataRemoval
