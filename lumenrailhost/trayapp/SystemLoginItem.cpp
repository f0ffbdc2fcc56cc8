#include "trayapp/SystemLoginItem.hpp"

#include <filesystem>

#include "platform/Paths.hpp"

namespace lumenrail {

bool SystemLoginItem::available() const { return Paths::runningInstalled(); }

bool SystemLoginItem::isEnabled() const { return LoginItem::isEnabled(Paths::autostartEntry()); }

// The entry starts the resolved executable of the installed tree.
std::optional<LoginItem::Note> SystemLoginItem::setEnabled(bool enabled) {
  std::error_code ec;
  const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return LoginItem::setEnabled(enabled, Paths::runningInstalled(), Paths::autostartEntry(),
                               ec ? std::string() : exe.string());
}

}  // namespace lumenrail
