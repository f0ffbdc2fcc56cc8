#include "settings/UpdateChecker.hpp"

#include <time.h>

#include <algorithm>
#include <cmath>

#include "platform/NumberText.hpp"

namespace lumenrail {

namespace {

uint64_t realtimeNs() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecond + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t secondsToNs(double seconds) { return static_cast<uint64_t>(std::llround(seconds * 1e9)); }

}  // namespace

std::optional<double> UpdateChecker::parseDelay(const std::string& text) {
  const std::optional<double> value = parseWholeDouble(text);
  // "nan" has no place in the range; an infinity clamps like any large value.
  if (!value || std::isnan(*value)) return std::nullopt;
  return std::clamp(*value, 0.0, kMaxDelaySeconds);
}

struct UpdateChecker::Work {
  Work(std::string running, std::string platform, std::string url, OnUpdate onUpdate, OnVerdict onVerdict,
       Log::Sink log, std::shared_ptr<Executor> main, NowNs wallClockNs)
      : running(std::move(running)),
        platform(std::move(platform)),
        url(std::move(url)),
        onUpdate(std::move(onUpdate)),
        onVerdict(std::move(onVerdict)),
        log(std::move(log)),
        main(std::move(main)),
        wallClockNs(std::move(wallClockNs)) {}

  const std::string running;
  const std::string platform;
  const std::string url;
  const OnUpdate onUpdate;
  const OnVerdict onVerdict;
  const Log::Sink log;
  const std::shared_ptr<Executor> main;
  const NowNs wallClockNs;

  // Guards the generation, the transfer in flight and the checker's timer;
  // never held across a transfer or a callback.
  std::mutex mutex;
  // Moves on at every stop: work of an older generation does nothing.
  uint64_t generation = 0;
  std::shared_ptr<HttpCancel> inFlight;
  // Only touched on the queue.
  std::optional<double> lastRecheck;

  bool isCurrent(uint64_t of) {
    std::lock_guard lock(mutex);
    return of == generation;
  }

  void post(std::function<void()> call) const {
    if (main) {
      main->post(std::move(call));
    } else {
      call();
    }
  }
};

namespace {

std::string manifestUrlFrom(const Environment& environment) {
  if (auto it = environment.find("LUMENRAIL_UPDATE_URL"); it != environment.end() && isWellFormedUrl(it->second)) {
    return it->second;
  }
  return std::string(UpdateCheck::manifestURL);
}

double delayFrom(const Environment& environment) {
  if (auto it = environment.find("LUMENRAIL_UPDATE_DELAY_SEC"); it != environment.end()) {
    if (auto delay = UpdateChecker::parseDelay(it->second)) return *delay;
  }
  return UpdateCheck::firstCheckDelay;
}

}  // namespace

UpdateChecker::UpdateChecker(std::string running, std::string platform, const Environment& environment,
                             Log::Sink log, OnUpdate onUpdate, OnVerdict onVerdict, std::shared_ptr<Executor> main,
                             NowNs wallClockNs)
    : url_(manifestUrlFrom(environment)),
      delay_(delayFrom(environment)),
      work_(std::make_shared<Work>(std::move(running), std::move(platform), url_, std::move(onUpdate),
                                   std::move(onVerdict),
                                   log ? std::move(log) : Log::Sink([](const std::string& line) { Log::line(line); }),
                                   std::move(main),
                                   wallClockNs ? std::move(wallClockNs) : NowNs(realtimeNs))),
      queue_(kQueueLabel) {}

UpdateChecker::~UpdateChecker() { stop(); }

void UpdateChecker::start() {
  std::lock_guard lock(work_->mutex);
  if (timer_) return;
  timer_ = queue_.scheduleRepeating(secondsToNs(UpdateCheck::checkInterval), secondsToNs(delay_),
                                    [work = work_, generation = work_->generation] { check(work, generation); });
}

void UpdateChecker::stop() {
  std::shared_ptr<HttpCancel> inFlight;
  {
    std::lock_guard lock(work_->mutex);
    timer_.reset();
    ++work_->generation;
    inFlight = std::move(work_->inFlight);
  }
  if (inFlight) inFlight->cancel();
}

void UpdateChecker::requestRecheck(const std::string& why) {
  // Judged when asked: a request while stopped is ignored, and one that a
  // stop() overtakes before it runs is dropped.
  uint64_t generation;
  {
    std::lock_guard lock(work_->mutex);
    if (!timer_) return;
    generation = work_->generation;
  }
  queue_.async([work = work_, why, generation] {
    if (!work->isCurrent(generation)) return;
    const double now = static_cast<double>(work->wallClockNs()) / 1e9;
    if (!UpdateCheck::recheckAllowed(now, work->lastRecheck)) {
      work->log("[update] early check (" + why + ") skipped: one ran under an hour ago");
      return;
    }
    work->lastRecheck = now;
    work->log("[update] early check requested (" + why + ")");
    check(work, generation);
  });
}

// Uses nothing of the checker itself: an inline callback may have destroyed
// it, after which the check only finds its generation gone.
void UpdateChecker::check(const std::shared_ptr<Work>& work, uint64_t generation) {
  auto cancel = std::make_shared<HttpCancel>();
  {
    std::lock_guard lock(work->mutex);
    if (generation != work->generation) return;
    work->inFlight = cancel;
  }
  HttpGetOptions options;
  options.connectTimeoutMs = 10'000;
  options.idleTimeoutMs = 10'000;
  options.totalTimeoutMs = 20'000;
  options.maxBodyBytes = UpdateCheck::maxManifestBytes;
  const HttpGetResult response = httpGet(work->url, options, cancel.get());
  {
    std::lock_guard lock(work->mutex);
    if (work->inFlight == cancel) work->inFlight.reset();
  }
  if (response.cancelled || !work->isCurrent(generation)) return;

  const Log::Sink& log = work->log;
  const std::string& running = work->running;
  const std::string& platform = work->platform;
  if (response.error || response.status != 200 || response.bodyTooLarge) {
    const std::string reason = response.error ? *response.error : "HTTP " + std::to_string(response.status);
    log("[update] check failed (" + reason + ") - will retry tomorrow");
    return;
  }

  const ByteView body(response.body);
  if (const auto info = UpdateCheck::parseManifestInfo(body, platform)) {
    const auto [verdict, version] = UpdateCheck::hostUpdate(running, info);
    if (verdict == HostUpdate::required) {
      log("[update] running " + running + " is below the published minimum " + info->min.value_or(""));
    }
    if (info->minClient > 0) log("[update] manifest min_client " + std::to_string(info->minClient));
    if (work->onVerdict) {
      // Bindings are copied by name: clang before 16 cannot capture them.
      work->post([onVerdict = work->onVerdict, verdict = verdict, version = version, minClient = info->minClient] {
        onVerdict(verdict, version, minClient);
      });
      // An owner that stopped the checker from the callback hears no more.
      if (!work->isCurrent(generation)) return;
    }
  }

  const auto release = UpdateCheck::parseManifest(body, platform);
  if (!release) {
    log("[update] manifest unreadable or has no usable " + platform + " entry");
  } else if (UpdateCheck::isNewer(release->version, running)) {
    log("[update] " + release->version + " available (running " + running + "): " + release->url);
    if (work->onUpdate) {
      work->post([onUpdate = work->onUpdate, release = *release] { onUpdate(release); });
    }
  } else {
    log("[update] up to date (running " + running + ", latest " + release->version + ")");
  }
}

}  // namespace lumenrail
