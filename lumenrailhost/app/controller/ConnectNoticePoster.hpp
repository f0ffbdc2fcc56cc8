#pragma once

// Tells the user that a device connected and named itself, as a desktop
// notification, within the user's policy and the repeat filter; every
// decision is one "[notice] " line. Called on the main thread; the
// notifier's completions only log, from whatever thread they run on.

#include <memory>
#include <string>

#include "app/controller/AppPorts.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "settings/ConnectAnnouncer.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail {

class ConnectNoticePoster final {
 public:
  // `available`: notices are shown at all (an installed application);
  // otherwise each one is only logged.
  ConnectNoticePoster(std::shared_ptr<Notifier> notifier, bool available, NowNs now = uptimeNs,
                      Log::Sink log = Log::line);

  bool available() const { return available_; }

  void sessionNamed(const std::string& name, bool overNetwork, ConnectNotice policy);

  // "connect-" and a fresh random UUID.
  static std::string requestId();

 private:
  std::shared_ptr<Notifier> notifier_;
  const bool available_;
  ConnectAnnouncer announcer_;
  Log::Sink log_;
};

}  // namespace lumenrail
