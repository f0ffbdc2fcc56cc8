#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "input/ClickCounter.hpp"
#include "input/FingerGestures.hpp"
#include "input/InputEventSink.hpp"
#include "input/InputInbox.hpp"
#include "input/InputSilence.hpp"
#include "input/PenButtons.hpp"
#include "input/PenFingerArbiter.hpp"
#include "input/PenMapper.hpp"
#include "input/PenPacer.hpp"
#include "input/PointerOwnership.hpp"
#include "input/WindowActivator.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// One client's pen and touch engine: maps its samples onto the desktop,
// paces moves, recognises finger gestures, arbitrates pen against finger and
// posts the result to an InputEventSink, all on the client's own serial queue.
class PenInjector final : public std::enable_shared_from_this<PenInjector> {
 public:
  struct StrokeStat {
    int64_t count = 0;
    double min = 0;
    double max = 0;
    bool operator==(const StrokeStat&) const = default;
  };

  using TargetRectFn = std::function<PenMapper::TargetRect()>;
  using SourceFrameFn = std::function<std::optional<PenMapper::FrameSize>()>;

  // The desktop services the injector uses; empty members take the defaults.
  struct Platform {
    std::shared_ptr<InputEventSink> sink;      // none: nothing can be posted
    std::shared_ptr<WindowActivator> windows;  // none: nothing is activated
    std::shared_ptr<Executor> queue;           // default: "quillmark.lumenrail.pen-inject"
    NowNs now;                                 // default: the queue's clock
    std::function<void(uint64_t)> sleepNs;     // default: nanosleep
    // LUMENRAIL_PEN_RATE_HZ as the entry read it: set, it fixes the pen-move
    // rate (a number >= 0; anything else keeps the main display's refresh).
    std::optional<std::string> penRateHz;
    bool trace = false;                                 // LUMENRAIL_INPUT_TRACE was set: every posted event is logged
    std::function<double()> mainDisplayRefreshHz;       // default: 60
    std::function<double()> doubleClickIntervalSeconds; // default: 0.4
    int32_t selfPid = 0;                                // default: getpid()
    size_t inputLimit = InputInbox::defaultLimit;       // queued pointer entries
  };

  static constexpr const char* queueLabel = "quillmark.lumenrail.pen-inject";
  static constexpr uint64_t rateCheckIntervalNs = 1'000'000'000;
  static constexpr int activationPolls = 10;
  static constexpr uint64_t activationPollNs = 10'000'000;
  static constexpr double defaultDoubleClickSeconds = 0.4;

  static std::shared_ptr<PenInjector> create(TargetRectFn targetRect, SourceFrameFn sourceFrame,
                                             std::shared_ptr<PointerOwnership> ownership, int32_t clientId,
                                             Platform platform);
  static std::shared_ptr<PenInjector> create(TargetRectFn targetRect, SourceFrameFn sourceFrame,
                                             std::shared_ptr<PointerOwnership> ownership, int32_t clientId);
  PenInjector(const PenInjector&) = delete;
  PenInjector& operator=(const PenInjector&) = delete;

  // Set once before the injector is handed out.
  Log::Sink onEvent;

  // Queues the packet. A client that floods the queue loses superseded moves
  // first (InputInbox); when only presses and releases are left over the
  // bound, this waits until the queue has room, holding the client back.
  void submit(std::vector<Wire::InputSample> samples);
  void updateCaps(Wire::InputCaps caps);
  void releaseAll();
  // Runs what the client queued, releases everything and closes the
  // injector, returning once the release has been posted; later work and
  // timers of this injector do nothing.
  void releaseAndClose();

  int32_t clientId() const { return clientId_; }
  // Pointer entries waiting for the queue; any thread.
  size_t queuedInput();
  bool trace() const { return trace_; }

  // Whether this process may post input on the desktop (uinput writable or
  // XTest on `display`). There is no system prompt on Linux; `prompt` is kept
  // for callers written against one.
  static bool ensureAccessibility(bool prompt, const std::string& display = "");
  // Read on the queue only (tests read them through the executor).
  const PenPacer& pacer() const { return pacer_; }
  double pacerHz() const { return pacerHz_; }
  const std::map<uint8_t, int64_t>& proximityType() const { return proximityType_; }
  const std::map<uint8_t, StrokeStat>& strokeStat() const { return strokeStat_; }
  const Wire::InputCaps& caps() const { return caps_; }

 private:
  PenInjector(TargetRectFn targetRect, SourceFrameFn sourceFrame, std::shared_ptr<PointerOwnership> ownership,
              int32_t clientId, Platform platform);

  void enqueue(InputInbox::Item item, bool mayWait);
  void drain();  // on the queue, posted by enqueue()
  void runQueued(size_t count);
  void handlePacket(const std::vector<Wire::InputSample>& samples);
  void dispatch(const PenMapper::Event& event);
  void postPen(const PenMapper::Event& event);
  void postGesture(const FingerGestures::Output& output);
  void postProximity(uint8_t pointerId, int64_t pointerType, bool enter, Point at);
  bool post(const InputEvent& event);
  int64_t clickState(PenMapper::Action action, double x, double y);
  void activateBeforePress(Point point);
  std::optional<int32_t> activateApp(Point point, const std::string& why);
  void logFirstInject(const PenMapper::Event& event, const std::string& kind);
  void accumulateStroke(const PenMapper::Event& event);
  void scheduleFlush();
  void armSilenceTimer();
  void armFingerTimer();
  void yieldIfIdle();
  void releaseAllLocked();
  void retunePacerIfNeeded(uint64_t now);
  uint64_t capabilityMask() const;
  void emit(const std::string& line) const;
  uint64_t delayUntil(uint64_t deadline) const;

  Platform platform_;
  std::shared_ptr<Executor> queue_;
  TargetRectFn targetRect_;
  SourceFrameFn sourceFrame_;
  PenMapper mapper_;
  Wire::InputCaps caps_;
  PenPacer pacer_;
  double pacerHz_ = 0;
  uint64_t lastRateCheckNs_ = 0;
  bool flushArmed_ = false;
  std::map<uint8_t, int64_t> proximityType_;
  FingerGestures fingers_;
  bool fingerTimerArmed_ = false;
  Point scrollCarry_;
  bool loggedFirstInject_ = false;
  InputSilence silence_;
  bool silenceTimerArmed_ = false;
  ClickCounter clicks_;
  PenButtons penButtons_;
  PenFingerArbiter arbiter_;
  std::map<uint8_t, StrokeStat> strokeStat_;
  bool trace_ = false;
  uint64_t lastSubmitNs_ = 0;
  std::shared_ptr<PointerOwnership> ownership_;
  int32_t clientId_ = 0;
  bool loggedNotOwner_ = false;
  // Where the finger holding the left button last was, so its forced release
  // lands there rather than under the pen.
  std::optional<Point> fingerButtonPoint_;
  bool closed_ = false;

  // What waits for the queue, between the client's thread and the queue.
  std::mutex inboxLock_;
  std::condition_variable inboxRoom_;
  InputInbox inbox_;
  bool drainArmed_ = false;
  bool inboxClosed_ = false;
};

// One PenInjector per client of a serving session, and the pointer
// ownership they share.
class PenInjectors final {
 public:
  using Make = std::function<std::shared_ptr<PenInjector>(int32_t clientId, std::shared_ptr<PointerOwnership>)>;

  explicit PenInjectors(Make make);

  void submit(std::vector<Wire::InputSample> samples, int32_t clientId);
  void updateCaps(const Wire::InputCaps& caps, int32_t clientId);
  // Returns once the client's pen, fingers, buttons and pointer ownership
  // are released, so a new client on the same descriptor starts clean.
  void clientGone(int32_t clientId);

  int64_t count() const;
  const std::shared_ptr<PointerOwnership>& ownership() const { return ownership_; }

 private:
  std::shared_ptr<PenInjector> injector(int32_t clientId);

  mutable std::mutex lock_;
  std::map<int32_t, std::shared_ptr<PenInjector>> byClient_;
  Make make_;
  std::shared_ptr<PointerOwnership> ownership_;
};

}  // namespace lumenrail
