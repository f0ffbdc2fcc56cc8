#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Clock.hpp"
#include "platform/HttpGet.hpp"
#include "platform/Log.hpp"
#include "platform/ProcessEnvironment.hpp"
#include "platform/SerialQueue.hpp"
#include "settings/UpdateCheck.hpp"
#include "settings/UpdateRelease.hpp"
#include "wire/HostUpdate.hpp"

namespace lumenrail {

// Fetches the update manifest once a day (the first time after a delay) and
// reports a newer release and the host's update verdict. All of its work,
// transfers included, runs on its own serial queue; callbacks go through the
// owner's dispatcher (its main queue).
class UpdateChecker final {
 public:
  using OnUpdate = std::function<void(const UpdateRelease&)>;
  using OnVerdict = std::function<void(HostUpdate, const std::string& version, int64_t minClient)>;
  // Runs a closure on the owner's main queue.
  using Dispatch = std::function<void(std::function<void()>)>;

  static constexpr const char* kQueueLabel = "quillmark.lumenrail.update";
  // The delay override is clamped into this range (seconds).
  static constexpr double kMaxDelaySeconds = UpdateCheck::checkInterval;

  // `environment` supplies LUMENRAIL_UPDATE_URL and LUMENRAIL_UPDATE_DELAY_SEC.
  // An empty `log` prints to standard output; an empty `dispatchMain` runs
  // callbacks inline on the checker's queue; `wallClockNs` is the wall clock
  // (nanoseconds since 1970) of the early-check rule.
  UpdateChecker(std::string running, std::string platform, const Environment& environment, Log::Sink log,
                OnUpdate onUpdate, Dispatch dispatchMain = {}, NowNs wallClockNs = {});
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;
  // Stops, cuts short a transfer in flight and joins the queue.
  ~UpdateChecker();

  // Set before start(); called after every readable manifest.
  OnVerdict onVerdict;

  // Schedules the first check after the delay, then one a day; a second call
  // does nothing.
  void start();
  // Cancels the timer and cuts short a transfer in flight; never waits for
  // the network. A check cut short logs and reports nothing.
  void stop();
  // An early check, at most one an hour; nothing while stopped.
  void requestRecheck(const std::string& why);

  const std::string& url() const { return url_; }
  double delaySeconds() const { return delay_; }

  // The delay override: a finite number, clamped to 0...kMaxDelaySeconds;
  // nothing when absent or not a number.
  static std::optional<double> parseDelay(const std::string& text);

 private:
  void check(uint64_t generation);
  bool isCurrent(uint64_t generation) const;
  void post(std::function<void()> call) const;

  const std::string running_;
  const std::string platform_;
  std::string url_;
  double delay_ = UpdateCheck::firstCheckDelay;
  const OnUpdate onUpdate_;
  const Log::Sink log_;
  const Dispatch dispatchMain_;
  const NowNs wallClockNs_;

  // Guards the timer, the generation and the transfer in flight; never held
  // across a transfer or a callback.
  mutable std::mutex mutex_;
  std::optional<SerialQueue::Timer> timer_;
  // Moves on at every stop: work of an older generation does nothing.
  uint64_t generation_ = 0;
  std::shared_ptr<HttpCancel> inFlight_;
  // Only touched on the queue.
  std::optional<double> lastRecheck_;

  // Last: destroyed first, so its remaining tasks still see every member.
  SerialQueue queue_;
};

}  // namespace lumenrail
