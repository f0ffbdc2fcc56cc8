#include "trayapp/SystemLoginItem.hpp"

#include "platform/Paths.hpp"

namespace lumenrail {

bool SystemLoginItem::available() const { return Paths::runningInstalled(); }
bool SystemLoginItem::isEnabled() const { return LoginItem::isEnabled(); }
std::optional<LoginItem::Note> SystemLoginItem::setEnabled(bool enabled) { return LoginItem::setEnabled(enabled); }

}  // namespace lumenrail
