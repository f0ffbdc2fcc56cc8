#include "app/controller/DeviceActions.hpp"

#include <algorithm>

#include "text/L10n.hpp"

namespace lumenrail {

DeviceActions::DeviceActions(const PanelSource& source, RenamePrompt& prompt, Hooks hooks, Log::Sink log)
    : source_(source), prompt_(prompt), hooks_(std::move(hooks)), log_(log ? std::move(log) : Log::line) {}

void DeviceActions::setMainDevice(const std::string& fingerprint) {
  if (auto* session = source_.session()) session->setMainDevice(fingerprint);
}

void DeviceActions::disconnect(const std::string& fingerprint) {
  if (auto* session = source_.session()) session->disconnect(fingerprint);
}

void DeviceActions::forget(const std::string& fingerprint) {
  if (const auto store = source_.pairedDevices()) {
    // A file that cannot be written keeps the record; the device is still
    // sent away and the views show what the store holds.
    try {
      store->revoke(fingerprint);
    } catch (const std::exception& error) {
      warn("forget", error);
    }
  }
  disconnect(fingerprint);
  changed();
}

void DeviceActions::rename(const std::string& fingerprint) {
  const auto store = source_.pairedDevices();
  if (!store) return;
  const auto records = store->all();
  const auto found = std::find_if(records.begin(), records.end(),
                                  [&](const PairedDevice& d) { return d.fingerprint == fingerprint; });
  if (found == records.end()) return;
  const RenamePrompt::Request request{L10n::text("rename.title", found->displayName()),
                                      L10n::text("rename.message", found->label),
                                      found->alias.value_or(""),
                                      found->label,
                                      L10n::text("action.rename"),
                                      L10n::text("action.cancel")};
  const auto answer = prompt_.ask(request);
  if (!answer) return;
  // The pairing may have been dropped while the dialog was up.
  if (const auto current = source_.pairedDevices()) {
    try {
      current->rename(fingerprint, *answer);
    } catch (const std::exception& error) {
      warn("rename", error);
    }
  }
  changed();
}

void DeviceActions::changed() {
  if (hooks_.pairedChanged) hooks_.pairedChanged();
  if (hooks_.refreshPanel) hooks_.refreshPanel();
}

void DeviceActions::warn(const std::string& what, const std::exception& error) const {
  log_("[pair] WARN: " + what + " failed: " + error.what());
}

}  // namespace lumenrail
