#include "wire/FrameStallProbe.hpp"

#include <sys/time.h>
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace lumenrail {

namespace {

// Clocks of different threads, and injected ones, can disagree: a later
// reading that is not later counts as no time at all, never as a wrapped value.
uint64_t elapsed(uint64_t later, uint64_t earlier) { return later > earlier ? later - earlier : 0; }

double toMs(uint64_t ns) { return static_cast<double>(ns) / static_cast<double>(kNsPerMs); }

// Converting a NaN, an infinity or an out-of-range double to an integer is
// undefined, so thresholds are checked here; one too large to represent can
// never be reached and saturates.
uint64_t thresholdNs(double ms, const char* name) {
  if (!std::isfinite(ms) || ms < 0) {
    char text[128];
    std::snprintf(text, sizeof text, "FrameStallProbe: %s must be finite and not negative (%g)", name, ms);
    throw std::invalid_argument(text);
  }
  const double ns = ms * static_cast<double>(kNsPerMs);
  constexpr double kTwoTo64 = 18446744073709551616.0;
  return ns >= kTwoTo64 ? UINT64_MAX : static_cast<uint64_t>(ns);
}

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string formatted(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(text.data(), text.size(), format, again);
    text.resize(static_cast<size_t>(length));
  }
  va_end(again);
  return text;
}

}  // namespace

FrameStallProbe::FrameStallProbe(double slowFrameMs, double gapMs, Log::Sink log)
    : FrameStallProbe(slowFrameMs, gapMs, nullptr, nullptr, std::move(log)) {}

FrameStallProbe::FrameStallProbe(double slowFrameMs, double gapMs, NowNs nowNs, WallClock wallClock,
                                 Log::Sink log)
    : nowNs_(nowNs ? std::move(nowNs) : NowNs(uptimeNs)),
      wallClock_(wallClock ? std::move(wallClock) : WallClock(wallClockNow)),
      log_(std::move(log)),
      slowFrameNs_(thresholdNs(slowFrameMs, "slowFrameMs")),
      gapNs_(thresholdNs(gapMs, "gapMs")) {}

void FrameStallProbe::noteEmit(uint64_t captureNs) {
  const uint64_t now = nowNs_();
  std::lock_guard lock(mutex_);
  // A frame emitted again keeps its place in the order but loses its encode time.
  if (stamps_.insert_or_assign(captureNs, Stamp{now, 0}).second) order_.push_back(captureNs);
  // Frames that are dropped or sent to nobody are never looked up again; the
  // bound keeps them from piling up.
  while (order_.size() > maxStamps) {
    stamps_.erase(order_.front());
    order_.pop_front();
  }
}

void FrameStallProbe::noteEncoded(uint64_t captureNs) {
  const uint64_t now = nowNs_();
  std::lock_guard lock(mutex_);
  const auto it = stamps_.find(captureNs);
  if (it != stamps_.end()) it->second.encoded = now;
}

void FrameStallProbe::noteSent(int32_t fd, uint64_t captureNs, uint64_t enqueuedNs, uint64_t dequeuedNs) {
  const uint64_t now = nowNs_();
  std::optional<std::string> line;
  {
    std::lock_guard lock(mutex_);
    uint64_t emitNs = captureNs;
    uint64_t encodedNs = enqueuedNs;
    // The stamp stays: the same frame goes to every client on the lane.
    if (const auto it = stamps_.find(captureNs); it != stamps_.end()) {
      emitNs = it->second.emit;
      if (it->second.encoded != 0) encodedNs = it->second.encoded;
    }
    const Legs legs{toMs(elapsed(emitNs, captureNs)), toMs(elapsed(encodedNs, emitNs)),
                    toMs(elapsed(dequeuedNs, enqueuedNs)), toMs(elapsed(now, dequeuedNs))};

    uint64_t gapNs = 0;
    if (const auto last = lastSentNs_.find(fd); last != lastSentNs_.end()) {
      gapNs = elapsed(now, last->second);
      last->second = now;
    } else {
      lastSentNs_.emplace(fd, now);
    }
    const double gapMs = toMs(gapNs);
    const bool gapSlow = gapNs >= gapNs_;
    const bool slow = elapsed(now, captureNs) >= slowFrameNs_ || gapSlow;

    const auto open = episodes_.find(fd);
    if (slow && open != episodes_.end()) {
      Episode& episode = open->second;
      episode.frames += 1;
      episode.lastSentNs = now;
      if (legs.totalMs() > episode.worst.totalMs()) episode.worst = legs;
      episode.gapMs = std::max(episode.gapMs, gapMs);
    } else if (slow) {
      episodes_.emplace(fd, Episode{wallClock_(), now, now, 1, legs, gapSlow ? gapMs : 0.0});
    } else if (open != episodes_.end()) {
      line = describe(fd, open->second);
      episodes_.erase(open);
    }
  }
  if (line) emitLines({*line});
}

void FrameStallProbe::flush(std::optional<int32_t> fd) {
  std::vector<std::string> lines;
  {
    std::lock_guard lock(mutex_);
    if (fd) {
      if (const auto it = episodes_.find(*fd); it != episodes_.end()) {
        lines.push_back(describe(it->first, it->second));
        episodes_.erase(it);
      }
      // A later client handed the same descriptor number starts without a gap.
      lastSentNs_.erase(*fd);
    } else {
      for (const auto& [episodeFd, episode] : episodes_) lines.push_back(describe(episodeFd, episode));
      episodes_.clear();
    }
  }
  emitLines(lines);
}

void FrameStallProbe::emitLines(const std::vector<std::string>& lines) const {
  if (!log_) return;
  for (const std::string& line : lines) log_(line);
}

std::string FrameStallProbe::describe(int32_t fd, const Episode& episode) {
  const Legs& worst = episode.worst;
  return episode.startWall +
         formatted(" fd %d: %lld slow frame(s) over %.0f ms; worst %.0f ms [pump %.1f encode %.1f queue %.1f "
                   "write %.1f]; longest send gap %.0f ms",
                   fd, static_cast<long long>(episode.frames),
                   toMs(elapsed(episode.lastSentNs, episode.firstSentNs)), worst.totalMs(), worst.pumpMs,
                   worst.encodeMs, worst.queueMs, worst.writeMs, episode.gapMs);
}

std::string FrameStallProbe::wallClockNow() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  tm local{};
  const time_t seconds = tv.tv_sec;
  if (localtime_r(&seconds, &local) == nullptr) local = tm{};
  return formatted("%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                   static_cast<int>(tv.tv_usec / 1000));
}

}  // namespace lumenrail
