#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include "media/CaptureSource.hpp"
#include "media/PixelBuffer.hpp"
#include "platform/Clock.hpp"

namespace lumenrail {

class MutterRemoteDesktop;

// Wraps a Mutter screen cast (GNOME Wayland) and its PipeWire stream: a
// virtual monitor of the stream's size and rate (extend), or an existing
// monitor, the primary one by default (mirror). The cursor is drawn into the
// frames. Mutter sends a frame only when the picture changes; each one is
// copied into a buffer of the source's own pool and handed on with its
// capture time, like the X11 capture does. Every buffer counts as a
// delivery, and so does, every `aliveCheckNs`, a round-trip answered by both
// the PipeWire daemon and Mutter's main loop: a still screen stays alive for
// the watchdog while a dead or hung desktop does not. Mutter or PipeWire
// going away ends the capture through `onStop`.
class MutterCaptureSource final : public CaptureSource {
 public:
  struct Config {
    int64_t width = 0;
    int64_t height = 0;
    int64_t fps = 0;
    bool virtualMonitor = false;  // false: record `connector`
    std::string connector;        // empty: the primary monitor
    bool showsCursor = true;
    PixelFormat pixelFormat = PixelFormat::nv12FullRange;
    std::string busAddress;      // empty: the session bus
    std::string pipewireRemote;  // empty: $XDG_RUNTIME_DIR/pipewire-0
    uint64_t aliveCheckNs = 500 * kNsPerMs;
    uint64_t callTimeoutNs = 5 * kNsPerSecond;
    uint64_t probeAnswerNs = kNsPerSecond;
    bool operator==(const Config&) const = default;
  };

  class CaptureError : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  explicit MutterCaptureSource(Config config, NowNs nowNs = uptimeNs);
  ~MutterCaptureSource() override;
  MutterCaptureSource(const MutterCaptureSource&) = delete;
  MutterCaptureSource& operator=(const MutterCaptureSource&) = delete;

  // Starts the session and the stream; a running capture is replaced.
  // Throws CaptureError, DBusError or PipeWireError; nothing is left running then.
  void start() override;
  // Ends the stream, the session and (for extend) the virtual monitor; no
  // frame is delivered once it returns. From a handler it only silences.
  void stop() override;

  // A virtual monitor's new size: the running stream is renegotiated and
  // Mutter resizes the monitor in place (same connector, same PipeWire node).
  // Until the stream carries the new size no frame is handed on, so every
  // frame after this is the monitor at its new size. A later start() keeps
  // it. Throws CaptureError for a recorded monitor or a bad size, and
  // PipeWireError when the stream cannot be renegotiated.
  void resize(int64_t width, int64_t height);

  // The newest delivered frame (Mutter sends none while the screen is
  // still, so it is the screen as it stands); nothing before the first.
  PixelBufferRef captureOneShot() override;
  // FNV-1a 64 over a 96x96 sampling of the newest picture, once Mutter has
  // answered within `probeAnswerNs`: the newest picture of a compositor that
  // stopped answering is no sign of a still screen, so that gives nothing.
  std::optional<uint64_t> probeContentHash() override;
  std::string frameOrigin() const override { return "Mutter and PipeWire"; }
  bool grabsOnDemand() const override { return false; }
  uint64_t aliveCheckNs() const override { return config_.aliveCheckNs; }
  // Until Mutter closed the session, left the bus or PipeWire went: a
  // paused Mutter keeps all of them.
  bool holdsSessionWhileSilent() const override;
  // A call to Mutter went unanswered (and none has been answered since).
  bool unresponsive() const;

  uint64_t lastDeliveryNs() const override;
  uint64_t deliveryCount() const override;
  uint64_t copyDropCount() const;

  // The running session, for input posted on the same stream; null when stopped.
  std::shared_ptr<MutterRemoteDesktop> session() const;

  static constexpr int64_t kProbeSide = 96;

 private:
  struct Shared;
  struct Running;

  const Config config_;
  const NowNs nowNs_;
  const std::shared_ptr<Shared> shared_;
  mutable std::mutex mutex_;  // guards running_
  std::shared_ptr<Running> running_;
};

}  // namespace lumenrail
