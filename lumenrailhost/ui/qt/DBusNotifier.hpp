#pragma once

// Desktop notifications through org.freedesktop.Notifications on the session
// bus, every call asynchronous: completions run on the thread that owns the
// connection's event loop (the GUI thread). The server answering its
// capabilities is the grant; no bus or no server is a refusal. A notice
// posted again under the same id replaces the one shown (a failed start
// tried again shows one notice, not a stack).

#include <QDBusConnection>

#include <map>
#include <memory>
#include <string>

#include "app/controller/AppPorts.hpp"

namespace lumenrail {

class DBusNotifier final : public Notifier {
 public:
  static constexpr int kCallTimeoutMs = 10'000;

  explicit DBusNotifier(QDBusConnection connection);
  // The process's session bus (not connected when there is none).
  static std::shared_ptr<DBusNotifier> onSessionBus();

  void authorize(std::function<void(bool granted, const std::string& reason)> done) override;
  void post(const Notification& notification, std::function<void(const std::string& error)> done) override;

 private:
  QDBusConnection connection_;
  // The server reads bodies as markup: escape them. Shared with replies
  // that may come after this object is gone.
  std::shared_ptr<bool> bodyMarkup_ = std::make_shared<bool>(false);
  // The server's number for each id shown so far, kept the same way.
  std::shared_ptr<std::map<std::string, uint>> shown_ = std::make_shared<std::map<std::string, uint>>();
};

}  // namespace lumenrail
