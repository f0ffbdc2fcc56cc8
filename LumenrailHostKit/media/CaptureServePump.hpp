#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "media/PixelBuffer.hpp"
#include "platform/Clock.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

// Sits between capture and the encoder: keeps only the newest captured
// frame, hands at most one frame per frame interval to `encode` (at once
// when a keyframe is wanted) and, while nothing new arrives, hands the last
// frame again at the idle rate. The encode runs on the pacer thread, one at
// a time, outside the lock that `submit` takes, so a slow encode never holds
// up the capture; the pacer wakes on each submit, so a frame whose interval
// has passed goes to the encoder at once. `encode` must not call back into
// the pump.
class CaptureServePump final : public std::enable_shared_from_this<CaptureServePump> {
 public:
  // The frame, its capture time, its presentation time and whether it must
  // be a keyframe. Presentation times only increase, even when a late frame
  // was captured before the last re-emit; capture times are the frame's own
  // (a re-emit's is the time of the re-emit).
  using Encode =
      std::function<void(const PixelBufferRef& buffer, uint64_t captureNs, uint64_t presentationNs, bool forceKeyframe)>;
  using TakeIdr = std::function<bool()>;

  static std::shared_ptr<CaptureServePump> make(int64_t fps, int64_t idleHz, bool bypassPacing, NowNs nowNs,
                                                TakeIdr takeIdr, Encode encode);
  // Stops the pacer; joins it unless released on the pacer thread itself.
  ~CaptureServePump();
  CaptureServePump(const CaptureServePump&) = delete;
  CaptureServePump& operator=(const CaptureServePump&) = delete;

  void submit(PixelBufferRef buffer, uint64_t captureNs);
  // One pacer step.
  void tick();
  // Starts "lumenrail-m2-pacer"; a stopped pump's pacer never starts again.
  void startPacer();
  // Ends the pacer after its current step and waits for it (bounded).
  void stop();
  void setPaceHz(int64_t fps);
  // Forgets the frame state so the next encode is a keyframe; the last frame
  // is kept for re-emits only when it has the given size. Waits for an encode
  // in progress, so no frame of the old state reaches the encoder afterwards.
  void reset(std::optional<std::pair<int64_t, int64_t>> keepingFrameOfSize);

  uint64_t paceIntervalNs() const;
  uint64_t idleIntervalNs() const;
  uint32_t tickUs() const;

  static constexpr uint64_t kStopJoinNs = 5 * kNsPerSecond;

 private:
  struct Pacer;
  struct Emit {
    PixelBufferRef buffer;
    uint64_t captureNs = 0;
    uint64_t presentationNs = 0;
    bool force = false;
  };
  CaptureServePump(int64_t fps, int64_t idleHz, bool bypassPacing, NowNs nowNs, TakeIdr takeIdr, Encode encode);
  // Never earlier than the last one handed over.
  uint64_t presentationFor(uint64_t captureNs);
  // Under lock_: what is due now, with the state already moved past it.
  std::optional<Emit> takeDueLocked(uint64_t now);
  void run(const Emit& emit) const;
  // How long the pacer may sleep before the next step could emit.
  uint64_t pacerWaitNs() const;
  void wakePacer() const;

  const NowNs nowNs_;
  const TakeIdr takeIdr_;
  const Encode encode_;
  const bool bypassPacing_;
  const std::shared_ptr<Pacer> pacer_;

  // Held across each encode, so encodes never overlap and keep their order;
  // taken before lock_, never by a non-bypass submit.
  std::mutex encodeMutex_;
  mutable std::mutex lock_;
  uint64_t paceIntervalNs_;
  uint64_t idleIntervalNs_;
  PixelBufferRef lastBuffer_;
  PixelBufferRef pendingBuffer_;
  uint64_t pendingCaptureNs_ = 0;
  uint64_t lastEncodeNs_ = 0;
  int64_t frameIndex_ = 0;
  std::optional<uint64_t> lastPresentationNs_;

  std::mutex threadMutex_;
  NamedThread thread_;
};

}  // namespace lumenrail
