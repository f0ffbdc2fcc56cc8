#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
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
// transfers included, runs on its own serial queue; callbacks are posted to
// the owner's main executor.
class UpdateChecker final {
 public:
  using OnUpdate = std::function<void(const UpdateRelease&)>;
  using OnVerdict = std::function<void(HostUpdate, const std::string& version, int64_t minClient)>;

  static constexpr const char* kQueueLabel = "quillmark.lumenrail.update";
  // The delay override is clamped into this range (seconds).
  static constexpr double kMaxDelaySeconds = UpdateCheck::checkInterval;

  // `environment` supplies LUMENRAIL_UPDATE_URL and LUMENRAIL_UPDATE_DELAY_SEC.
  // An empty `log` prints to standard output; `onVerdict` is called after
  // every readable manifest; an empty `main` runs callbacks inline on
  // the checker's queue, where a callback may stop and destroy the checker;
  // `wallClockNs` is the wall clock (nanoseconds since 1970) of the
  // early-check rule.
  UpdateChecker(std::string running, std::string platform, const Environment& environment, Log::Sink log,
                OnUpdate onUpdate, OnVerdict onVerdict = {}, std::shared_ptr<Executor> main = nullptr,
                NowNs wallClockNs = {});
  UpdateChecker(const UpdateChecker&) = delete;
  UpdateChecker& operator=(const UpdateChecker&) = delete;
  // Stops, cuts short a transfer in flight and joins the queue (unless
  // called on the queue itself, from a callback).
  ~UpdateChecker();

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

  // The delay override: a number in C-locale text, clamped to
  // 0...kMaxDelaySeconds; nothing when absent, NaN or not a number.
  static std::optional<double> parseDelay(const std::string& text);

 private:
  // What the queue's work uses. Each task holds a reference, so a check
  // whose callback destroyed the checker still finds it.
  struct Work;
  static void check(const std::shared_ptr<Work>& work, uint64_t generation);

  std::string url_;
  double delay_ = UpdateCheck::firstCheckDelay;
  const std::shared_ptr<Work> work_;
  // Guarded by the work's mutex.
  std::optional<SerialQueue::Timer> timer_;
  // Last: destroyed first, while the timer can still be cancelled.
  SerialQueue queue_;
};

}  // namespace lumenrail
