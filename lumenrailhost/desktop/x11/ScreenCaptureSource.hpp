#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "media/CaptureSource.hpp"
#include "media/PixelBuffer.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"
#include "platform/X11Display.hpp"

namespace lumenrail {

// Wraps an XCB MIT-SHM grab of one RandR monitor, DAMAGE and the XFixes
// cursor. The capture thread waits on its own X connection and grabs as soon
// as the monitor's pixels or the cursor on it changed, but never sooner than
// a frame interval after the last grab; a still screen costs no grab. Only a
// server without DAMAGE is polled at the frame rate. Each changed frame,
// copied into a buffer of its own pool, goes to `onFrame` with its capture
// time. The monitor is followed by its id when RandR moves or resizes it;
// when it disappears the capture stops through `onStop`. Every layout read
// the server answers counts as a delivery, one after each grab and one every
// alive check of a still screen, so a watchdog can tell a still screen from a
// hung server.
class ScreenCaptureSource final : public CaptureSource {
 public:
  struct Config {
    int64_t width = 0;
    int64_t height = 0;
    int64_t fps = 0;
    uint32_t targetDisplayID = 0;  // 0: the primary monitor
    bool showsCursor = true;
    PixelFormat pixelFormat = PixelFormat::nv12FullRange;
    std::string xDisplay;  // ":N"; empty means $DISPLAY
    // While nothing changes, the thread still asks the server this often
    // whether it is alive, and counts a delivery: a few of them missed tell
    // the session's clients of a hung server within two seconds.
    uint64_t aliveCheckNs = 500 * kNsPerMs;
    bool operator==(const Config&) const = default;
  };

  enum class CaptureErrorKind : uint8_t { displayNotFound, noDisplays, badSize };

  class CaptureError : public std::exception {
   public:
    CaptureError(CaptureErrorKind kind, uint32_t displayId = 0, int64_t width = 0, int64_t height = 0);
    CaptureErrorKind kind;
    uint32_t displayId;
    int64_t width;
    int64_t height;
    const char* what() const noexcept override { return text_.c_str(); }

   private:
    std::string text_;
  };

  // `nowNs` is the capture's one clock: it paces the grabs, times the layout
  // reads and the display's absence, and stamps the frames. The thread sleeps
  // real time on it, so it must run at the uptime clock's speed.
  explicit ScreenCaptureSource(Config config, NowNs nowNs = uptimeNs);
  ~ScreenCaptureSource() override;
  ScreenCaptureSource(const ScreenCaptureSource&) = delete;
  ScreenCaptureSource& operator=(const ScreenCaptureSource&) = delete;

  // Finds the display and starts capturing; a running capture is replaced.
  // Throws CaptureError, or X11Error when the server cannot be reached or
  // its pixels cannot be read.
  void start() override;
  // Ends the capture; no frame is delivered once it returns. Called from a
  // handler it only asks the capture to end.
  void stop() override;

  // One screenshot at the configured size and format, outside the pool;
  // nothing before the first start or on any failure.
  PixelBufferRef captureOneShot() override;
  // FNV-1a 64 over a 96x96 BGRA screenshot; nothing before the first start
  // or on any failure.
  std::optional<uint64_t> probeContentHash() override;
  std::string frameOrigin() const override { return "the X server"; }
  uint64_t aliveCheckNs() const override { return config_.aliveCheckNs; }

  uint64_t lastDeliveryNs() const override;
  uint64_t deliveryCount() const override;
  // Frames lost because no copy could be made (pool exhausted).
  uint64_t copyDropCount() const;

  const Config& config() const { return config_; }
  // The monitor of the last start.
  std::optional<X11Monitor> monitor() const;

  static constexpr int64_t kProbeSide = 96;
  static constexpr int64_t kMaxFps = 1000;
  static constexpr uint64_t kStopJoinNs = 5 * kNsPerSecond;
  // How long the monitor may be missing from the layout before the capture
  // ends: a monitor is moved by deleting and setting it again.
  static constexpr uint64_t kDisplayGoneGraceNs = 500 * kNsPerMs;

 private:
  struct Stream;
  struct Shared;
  PixelBufferRef grabOnce(int64_t width, int64_t height, PixelFormat format);

  const Config config_;
  const NowNs nowNs_;
  // Shared with the capture thread, which may outlive a stop that timed out.
  const std::shared_ptr<Shared> shared_;

  // Guards the fields below; never held while a handler runs.
  mutable std::mutex mutex_;
  std::shared_ptr<X11Display> display_;  // for lookups and screenshots; the thread has its own
  std::shared_ptr<Stream> stream_;
  NamedThread thread_;

  std::mutex oneShotMutex_;  // one screenshot at a time
  std::unique_ptr<X11ScreenGrabber> oneShotGrabber_;
};

}  // namespace lumenrail
