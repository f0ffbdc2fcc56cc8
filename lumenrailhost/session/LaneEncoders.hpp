#pragma once

// The serving session's video encoders: the main lane at the stream mode and
// the small lane for clients that asked for a smaller mode, the per-frame path
// that feeds both (zoom viewport, keyframes), codec negotiation, the rebuild
// of the main encoder with its rollback, and the clients' encoder settings.
// The per-frame path runs on the pump's pacer thread; everything else on the
// session's queue. One lock guards the encoder references and the modes, and
// is never held across an encode, start or stop.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "desktop/DesktopEnvironment.hpp"
#include "media/CaptureServePump.hpp"
#include "media/FrameScaler.hpp"
#include "media/VideoEncoder.hpp"
#include "media/ViewportCropper.hpp"
#include "media/ViewportGeometry.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "wire/ClientModePolicy.hpp"
#include "wire/FrameStallProbe.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class LaneEncoders final {
 public:
  using Mode = ClientModePolicy::Mode;
  enum class Rebuild { rebuilt, encoderFailed, captureDown };

  // What a rebuild of the main encoder takes down before and brings up after
  // it: the capture, the pump's frame size, the display, the clients' Hello.
  struct RebuildSteps {
    std::function<void(const Mode&)> takeDown;
    // Started capture: rebuilt; capture did not start: captureDown.
    std::function<Rebuild(const Mode&)> bringUp;
    // The capture stayed down: recovery takes over.
    std::function<void()> captureDown;
  };

  struct Config {
    std::shared_ptr<DesktopEnvironment> desktop;
    std::shared_ptr<WireServer> server;
    std::shared_ptr<FrameStallProbe> stallProbe;
    std::shared_ptr<CaptureServePump> pump;
    Log::Sink log;
    Mode mode;
    RebuildSteps steps;
  };

  static constexpr int32_t kBitrateBps = 12'000'000;
  static constexpr int64_t kMaxBitrateKbps = 60'000;
  static constexpr uint64_t kViewportIdrMinIntervalNs = 250'000'000;

  static Wire::HelloParams hello(const Mode& mode, Wire::Codec codec);
  // "<width>x<height>@<fps>".
  static std::string label(const Mode& mode);

  explicit LaneEncoders(Config config);
  LaneEncoders(const LaneEncoders&) = delete;
  LaneEncoders& operator=(const LaneEncoders&) = delete;

  // Throws when the main encoder cannot start.
  void startMain();
  // Finishes and stops both lanes.
  void stop();

  // The stream mode and codec, read with the encoder they belong to.
  Mode mode() const;
  Wire::Codec codec() const;

  // One captured frame, on the pacer thread; `force` asks for a keyframe.
  void encode(const PixelBufferRef& buffer, uint64_t captureNs, bool force);

  // Rebuilds for `mode` with `codec`; when the new encoder does not start,
  // says `restoring` and rebuilds the previous mode and codec, and says `lost`
  // when that fails too. The result is the first rebuild's; the mode is taken
  // on when that one produced a running encoder.
  Rebuild rebuildOrRestore(const Mode& mode, Wire::Codec codec, const std::string& restoring,
                           const std::string& lost);
  // A client's HEVC decoder came or went; false when the codec stays as it is
  // (nothing was tried).
  bool negotiateCodec(bool hevcWanted);

  // The small lane follows the clients' modes (SmallLanePolicy).
  void updateSmallLane(std::optional<int32_t> primary, const std::map<int32_t, Mode>& panels);
  std::optional<Mode> smallMode() const;
  std::set<int32_t> smallMembers() const { return smallMembers_; }

  // The clients' merged encoder settings changed (read from the server).
  void settingsChanged();
  Wire::EncoderConfigRequest desiredSettings() const { return desired_; }

 private:
  std::shared_ptr<VideoEncoder> makeEncoder(const Mode& mode, Wire::Codec codec) const;
  void attachMainSink(VideoEncoder& encoder);
  void attachSmallSink(VideoEncoder& encoder);
  Rebuild rebuild(const Mode& m);
  void retireSmall(const std::shared_ptr<VideoEncoder>& old);
  void encodeSmall(const PixelBufferRef& frame, uint64_t captureNs, bool keyframe,
                   const std::shared_ptr<VideoEncoder>& encoder, const std::optional<Mode>& mode);
  // Caps are taken against `stream`, the mode the encoder runs at.
  Wire::EncoderConfigRequest applySettings(const Wire::EncoderConfigRequest& request, const Mode& stream);
  void applySmallSettings(const Wire::EncoderConfigRequest& request, int64_t mainFps);
  void broadcastApplied(const Wire::EncoderConfigRequest& applied);
  void say(const std::string& line) const { config_.log(line); }

  const Config config_;

  mutable std::mutex lock_;
  std::shared_ptr<VideoEncoder> main_;   // under lock_
  Mode mode_;                            // under lock_; changed on the queue
  Wire::Codec codec_ = Wire::Codec::h264;  // under lock_; changed on the queue
  std::shared_ptr<VideoEncoder> small_;  // under lock_
  std::optional<Mode> smallMode_;        // under lock_

  // The queue's.
  std::set<int32_t> smallMembers_;
  Wire::Codec smallCodec_ = Wire::Codec::h264;
  Wire::EncoderConfigRequest desired_ = Wire::EncoderConfigRequest::none();

  // The per-frame path's, one pacer thread at a time.
  ViewportCropper cropper_;
  PixelRect lastViewport_;
  bool viewportIdrPending_ = false;
  uint64_t lastViewportIdrNs_ = 0;
  FrameScaler smallScaler_;
  uint64_t lastSmallEncodeNs_ = 0;
  bool smallKeyframeOwed_ = false;
};

}  // namespace lumenrail
