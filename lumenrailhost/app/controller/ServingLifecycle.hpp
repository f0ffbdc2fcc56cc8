#pragma once

// One serving session at a time, from the start request to the end of its
// stop: stopped → starting → serving → stopping → stopped, and nothing out of
// turn. The session is started and stopped on the serve queue, everything
// else runs on the main queue. Draws the key of every start, loads the
// pairing configuration once, holds the display awake while a session may
// run, and stops serving before the host leaves (a start in flight first).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/controller/AppPorts.hpp"
#include "app/controller/ControllerPorts.hpp"
#include "app/controller/ServingSession.hpp"
#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "settings/HostSettings.hpp"

namespace lumenrail {

class ServingLifecycle final : public std::enable_shared_from_this<ServingLifecycle> {
 public:
  static constexpr int64_t kPskBytes = 24;
  // How long quitting waits for a start and the stop behind it.
  static constexpr uint64_t kQuitWaitNs = 20 * kNsPerSecond;

  struct Ports {
    std::shared_ptr<Executor> main;
    std::shared_ptr<Executor> serveQueue;
    SessionFactory makeSession;
    // The pairing configuration with the owner's alert; nothing when it
    // cannot be loaded.
    std::function<std::optional<PairingPrologue::Pairing>()> loadPairing;
    std::function<Bytes(int64_t)> randomKey;
    std::shared_ptr<SleepAssertion> displayAwake;
    std::shared_ptr<Notifier> notifier;
    Log::Sink log;
    Log::Sink errorLog;  // standard error when unset
  };
  struct Hooks {
    // Every step of a start or a stop: the glyph and the panel.
    std::function<void()> refreshGlyph;
    // The panel alone (serving open to anyone).
    std::function<void()> refreshPanel;
    // A start or a stop has finished (after refreshGlyph).
    std::function<void()> settled;
    // Serving has begun (not while quitting).
    std::function<void()> started;
    // A stop has finished; the display may sleep after it.
    std::function<void()> stopped;
    // A new session, before anything is started: its hooks and verdict.
    std::function<void(ServingSession&)> prepare;
  };

  ServingLifecycle(Ports ports, Hooks hooks);
  ServingLifecycle(const ServingLifecycle&) = delete;
  ServingLifecycle& operator=(const ServingLifecycle&) = delete;

  // Only when stopped and not quitting; `settings` are the ones it runs with.
  void start(const HostSettings& settings);
  // Only when serving; `then` runs once the stop has finished.
  void stop(std::function<void()> then = {});
  // Stops whatever session there is (a starting one once its start has
  // returned); `finished` tells whether it stopped within kQuitWaitNs. No
  // start is taken afterwards.
  void quit(std::function<void(bool clean)> finished);
  // Stops whatever session there is and waits for it, on this thread.
  void stopNow();

  ServingPhase phase() const;
  bool serving() const { return serving_; }
  bool transitioning() const { return transitioning_; }
  bool quitting() const { return quitting_; }
  // The session while serving or stopping; null otherwise.
  ServingSession* session() const { return session_.get(); }
  // The session, when it serves and no stop is in flight: settings may reach it.
  ServingSession* steadySession() const;
  // The update check's verdict, to the session's server while there is one.
  void setVersionVerdict(int64_t floor, HostUpdate update, const std::string& version) const {
    if (session_) session_->setVersionVerdict(floor, update, version);
  }
  int64_t clientCount() const { return session_ ? session_->clientCount() : 0; }
  const std::optional<HostSettings>& runningSettings() const { return runningSettings_; }
  const std::optional<Bytes>& psk() const { return psk_; }
  const std::optional<std::string>& startFailure() const { return startFailure_; }
  bool servingOpen() const { return servingOpen_; }
  // The loaded pairing configuration's store; null before the first start with pairing on.
  std::shared_ptr<PairedDevicesStore> pairedDevices() const;

 private:
  std::optional<PairingPrologue::Pairing> pairingIfEnabled(const HostSettings& settings);
  struct Made {
    std::shared_ptr<ServingSession> session;  // null when the start ended here
    bool open = false;  // it takes anyone: no pairing and no key
  };
  Made makeSession(const HostSettings& settings);
  void finishStart(std::shared_ptr<ServingSession> session, const HostSettings& startedWith, bool ok,
                   const std::string& failure);
  void finishStop(const std::function<void()>& then);
  // A failed start: its reason in the panel and in one notification.
  void showStartFailure(const std::string& reason);
  void say(const std::string& line) const;
  // Standard error: the failed start is what the owner must see in a terminal too.
  void sayError(const std::string& line) const;
  static void run(const std::function<void()>& hook);

  Ports ports_;
  Hooks hooks_;
  std::optional<HostSettings> runningSettings_;
  std::optional<Bytes> psk_;
  std::optional<PairingPrologue::Pairing> pairing_;
  std::shared_ptr<ServingSession> session_;
  std::shared_ptr<ServingSession> starting_;  // the session of a start in flight
  bool serving_ = false;
  bool transitioning_ = false;
  bool quitting_ = false;
  std::optional<std::string> startFailure_;
  bool servingOpen_ = false;  // the running or starting session takes anyone
  Executor::Timer quitBound_;
};

}  // namespace lumenrail
