#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/Clock.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

// Follows each video frame from the pump to the end of its send on every
// client socket, and logs one line per run of slow frames on a socket
// (an episode) when that run ends. Diagnostic only: it never touches the stream.
//
// Fed by the pacer thread (noteEmit), the encoder's output thread
// (noteEncoded) and every client's write thread (noteSent, flush).
class FrameStallProbe final {
 public:
  using WallClock = std::function<std::string()>;

  // Where one frame's time went, in milliseconds.
  struct Legs {
    double pumpMs = 0;
    double encodeMs = 0;
    double queueMs = 0;
    double writeMs = 0;
    double totalMs() const { return pumpMs + encodeMs + queueMs + writeMs; }
    bool operator==(const Legs&) const = default;
  };

  // Thresholds in milliseconds, finite and not negative (std::invalid_argument
  // otherwise). An empty clock or wall clock stands for the default one; an
  // empty log drops the lines. The clock is read and the log called outside
  // the probe's lock; the wall clock runs under it and must not call back in.
  FrameStallProbe(double slowFrameMs, double gapMs, Log::Sink log);
  FrameStallProbe(double slowFrameMs, double gapMs, NowNs nowNs, WallClock wallClock, Log::Sink log);

  FrameStallProbe(const FrameStallProbe&) = delete;
  FrameStallProbe& operator=(const FrameStallProbe&) = delete;

  // The frame with this capture time goes to the encoder now.
  void noteEmit(uint64_t captureNs);
  // The encoder delivered the frame with this capture time now.
  void noteEncoded(uint64_t captureNs);
  // The frame went out whole on `fd`; the probe's clock marks the end of the send.
  void noteSent(int32_t fd, uint64_t captureNs, uint64_t enqueuedNs, uint64_t dequeuedNs);
  // Ends (and logs) the open episode of `fd` and forgets its last send, or,
  // with nothing, ends every open episode and keeps the last sends.
  void flush(std::optional<int32_t> fd);

  // Local time of day, "HH:MM:SS.mmm".
  static std::string wallClockNow();

  static constexpr size_t maxStamps = 256;

 private:
  struct Stamp {
    uint64_t emit = 0;
    uint64_t encoded = 0;  // 0 = not yet
  };

  struct Episode {
    std::string startWall;
    uint64_t firstSentNs = 0;
    uint64_t lastSentNs = 0;
    int64_t frames = 0;
    Legs worst;
    double gapMs = 0;
  };

  static std::string describe(int32_t fd, const Episode& episode);
  void emitLines(const std::vector<std::string>& lines) const;

  const NowNs nowNs_;
  const WallClock wallClock_;
  const Log::Sink log_;
  const uint64_t slowFrameNs_;
  const uint64_t gapNs_;

  std::mutex mutex_;
  std::unordered_map<uint64_t, Stamp> stamps_;
  std::deque<uint64_t> order_;  // keys of stamps_, oldest first stamp first
  std::map<int32_t, Episode> episodes_;
  std::unordered_map<int32_t, uint64_t> lastSentNs_;
};

}  // namespace lumenrail
