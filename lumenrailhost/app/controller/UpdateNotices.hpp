#pragma once

// The update check and the two notices it leads to: a newer release of the
// host (shown until checks are switched off) and a client whose app must be
// updated (shown until dismissed). Keeps the check's last verdict, which
// every session is started with. Main thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/controller/AppPorts.hpp"
#include "app/controller/ControllerPorts.hpp"
#include "platform/Log.hpp"
#include "settings/UpdateRelease.hpp"
#include "wire/HostUpdate.hpp"

namespace lumenrail {

class UpdateNotices final : public std::enable_shared_from_this<UpdateNotices> {
 public:
  struct VersionVerdict {
    int64_t floor = 0;
    HostUpdate update = HostUpdate::none;
    std::string version;
  };
  struct Ports {
    UpdateCheckerFactory makeUpdateChecker;
    std::shared_ptr<UrlOpener> opener;
    Log::Sink log;
  };
  struct Hooks {
    // A notice came or went: the panel takes a fresh snapshot.
    std::function<void()> changed;
    // The verdict changed: the running session's server takes it.
    std::function<void(const VersionVerdict&)> verdictChanged;
  };

  UpdateNotices(Ports ports, Hooks hooks);
  UpdateNotices(const UpdateNotices&) = delete;
  UpdateNotices& operator=(const UpdateNotices&) = delete;

  // Checks on: a checker is made once and started. Off: it stops, and the
  // release and the verdict are forgotten.
  void apply(bool checkForUpdates);
  // Stops the checker without forgetting anything (the host is leaving).
  void stop();
  // Opens the available release's page when its link is one the host trusts.
  void openUpdate();
  void clientMustUpdate(const std::optional<std::string>& deviceName);
  void dismissClientAppUpdate();

  const std::optional<UpdateRelease>& availableUpdate() const { return availableUpdate_; }
  const std::optional<std::string>& clientAppUpdate() const { return clientAppUpdate_; }
  const VersionVerdict& verdict() const { return verdict_; }

 private:
  void say(const std::string& line) const;
  void changed() const;

  Ports ports_;
  Hooks hooks_;
  std::unique_ptr<UpdateCheckerHandle> checker_;
  std::optional<UpdateRelease> availableUpdate_;
  VersionVerdict verdict_;
  std::optional<std::string> clientAppUpdate_;
};

}  // namespace lumenrail
