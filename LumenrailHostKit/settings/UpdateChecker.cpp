#include "settings/UpdateChecker.hpp"

#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdlib>

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
  // Whole text only: strtod would skip leading white space.
  if (text.empty() || std::isspace(static_cast<unsigned char>(text.front()))) return std::nullopt;
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(begin, &end);
  if (end != begin + text.size()) return std::nullopt;
  // "nan" and "inf" read as numbers but would make the timer meaningless.
  if (!std::isfinite(value)) return std::nullopt;
  return std::clamp(value, 0.0, kMaxDelaySeconds);
}

UpdateChecker::UpdateChecker(std::string running, std::string platform, const Environment& environment,
                             Log::Sink log, OnUpdate onUpdate, Dispatch dispatchMain, NowNs wallClockNs)
    : running_(std::move(running)),
      platform_(std::move(platform)),
      url_(UpdateCheck::manifestURL),
      onUpdate_(std::move(onUpdate)),
      log_(log ? std::move(log) : Log::Sink([](const std::string& line) { Log::line(line); })),
      dispatchMain_(std::move(dispatchMain)),
      wallClockNs_(wallClockNs ? std::move(wallClockNs) : NowNs(realtimeNs)),
      queue_(kQueueLabel) {
  if (auto it = environment.find("LUMENRAIL_UPDATE_URL"); it != environment.end() && isWellFormedUrl(it->second)) {
    url_ = it->second;
  }
  if (auto it = environment.find("LUMENRAIL_UPDATE_DELAY_SEC"); it != environment.end()) {
    if (auto delay = parseDelay(it->second)) delay_ = *delay;
  }
}

UpdateChecker::~UpdateChecker() { stop(); }

void UpdateChecker::start() {
  std::lock_guard lock(mutex_);
  if (timer_) return;
  const uint64_t generation = generation_;
  timer_ = queue_.scheduleRepeating(secondsToNs(UpdateCheck::checkInterval), secondsToNs(delay_),
                                    [this, generation] { check(generation); });
}

void UpdateChecker::stop() {
  std::shared_ptr<HttpCancel> inFlight;
  {
    std::lock_guard lock(mutex_);
    timer_.reset();
    ++generation_;
    inFlight = std::move(inFlight_);
  }
  if (inFlight) inFlight->cancel();
}

void UpdateChecker::requestRecheck(const std::string& why) {
  // Judged when asked: a request while stopped is ignored, and one that a
  // stop() overtakes before it runs is dropped.
  uint64_t generation;
  {
    std::lock_guard lock(mutex_);
    if (!timer_) return;
    generation = generation_;
  }
  queue_.async([this, why, generation] {
    if (!isCurrent(generation)) return;
    const double now = static_cast<double>(wallClockNs_()) / 1e9;
    if (!UpdateCheck::recheckAllowed(now, lastRecheck_)) {
      log_("[update] early check (" + why + ") skipped: one ran under an hour ago");
      return;
    }
    lastRecheck_ = now;
    log_("[update] early check requested (" + why + ")");
    check(generation);
  });
}

bool UpdateChecker::isCurrent(uint64_t generation) const {
  std::lock_guard lock(mutex_);
  return generation == generation_;
}

void UpdateChecker::post(std::function<void()> call) const {
  if (dispatchMain_) {
    dispatchMain_(std::move(call));
  } else {
    call();
  }
}

void UpdateChecker::check(uint64_t generation) {
  auto cancel = std::make_shared<HttpCancel>();
  {
    std::lock_guard lock(mutex_);
    if (generation != generation_) return;
    inFlight_ = cancel;
  }
  HttpGetOptions options;
  options.connectTimeoutMs = 10'000;
  options.idleTimeoutMs = 10'000;
  options.totalTimeoutMs = 20'000;
  options.maxBodyBytes = UpdateCheck::maxManifestBytes;
  const HttpGetResult response = httpGet(url_, options, cancel.get());
  {
    std::lock_guard lock(mutex_);
    if (inFlight_ == cancel) inFlight_.reset();
  }
  if (response.cancelled || !isCurrent(generation)) return;

  if (response.error || response.status != 200 || response.bodyTooLarge) {
    const std::string reason = response.error ? *response.error : "HTTP " + std::to_string(response.status);
    log_("[update] check failed (" + reason + ") - will retry tomorrow");
    return;
  }

  const ByteView body(response.body);
  if (const auto info = UpdateCheck::parseManifestInfo(body, platform_)) {
    const auto [verdict, version] = UpdateCheck::hostUpdate(running_, info);
    if (verdict == HostUpdate::required) {
      log_("[update] running " + running_ + " is below the published minimum " + info->min.value_or(""));
    }
    if (info->minClient > 0) log_("[update] manifest min_client " + std::to_string(info->minClient));
    if (onVerdict) {
      post([onVerdict = onVerdict, verdict, version, minClient = info->minClient] {
        onVerdict(verdict, version, minClient);
      });
    }
  }

  const auto release = UpdateCheck::parseManifest(body, platform_);
  if (!release) {
    log_("[update] manifest unreadable or has no usable " + platform_ + " entry");
  } else if (UpdateCheck::isNewer(release->version, running_)) {
    log_("[update] " + release->version + " available (running " + running_ + "): " + release->url);
    if (onUpdate_) {
      post([onUpdate = onUpdate_, release = *release] { onUpdate(release); });
    }
  } else {
    log_("[update] up to date (running " + running_ + ", latest " + release->version + ")");
  }
}

}  // namespace lumenrail
