#include "trayapp/XdgOpener.hpp"

namespace lumenrail {

void XdgOpener::open(const std::string& url, std::function<void(bool)> done) {
  // xdg-open returns once the handler is started (or none was found), but
  // that may take a moment: its exit is reported from the reaper.
  const auto started = children_->start({program_, url}, [done](std::optional<int> status) {
    if (done) done(status == 0);
  });
  if (!started && done) done(false);
}

}  // namespace lumenrail
