#pragma once

// The serving session's video encoders: the main lane at the stream mode and
// the small lane for clients that asked for a smaller mode, codec negotiation,
// the rebuild of the main encoder with its rollback, and the clients' encoder
// settings. It makes each lane's encoder and hands it to that lane's
// VideoStream, which runs the frames. It runs on the session's queue, but for
// the first main encoder (the session's start) and stop(). The lanes' streams
// hold the encoders and modes; one lock guards the codec.

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
#include "media/VideoEncoder.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "session/VideoStream.hpp"
#include "wire/ClientModePolicy.hpp"
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
    std::shared_ptr<CaptureServePump> pump;
    Log::Sink log;
    Mode mode;
    RebuildSteps steps;
    // The lanes' streams; the main one feeds the small one.
    std::shared_ptr<VideoStream> mainVideo;
    std::shared_ptr<VideoStream> smallVideo;
  };

  static constexpr int32_t kBitrateBps = 12'000'000;
  static constexpr int64_t kMaxBitrateKbps = 60'000;

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

  // The stream mode and codec.
  Mode mode() const;
  Wire::Codec codec() const;

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
  Rebuild rebuild(const Mode& m);
  void retireSmall(const std::shared_ptr<VideoEncoder>& old);
  // Caps are taken against `stream`, the mode the encoder runs at.
  Wire::EncoderConfigRequest applySettings(const Wire::EncoderConfigRequest& request, const Mode& stream);
  void applySmallSettings(const Wire::EncoderConfigRequest& request, int64_t mainFps);
  void broadcastApplied(const Wire::EncoderConfigRequest& applied);
  void say(const std::string& line) const { config_.log(line); }

  const Config config_;
  VideoStream& main_;
  VideoStream& small_;

  mutable std::mutex lock_;
  Wire::Codec codec_ = Wire::Codec::h264;  // under lock_; changed on the queue

  // The queue's.
  std::set<int32_t> smallMembers_;
  Wire::Codec smallCodec_ = Wire::Codec::h264;
  Wire::EncoderConfigRequest desired_ = Wire::EncoderConfigRequest::none();
};

}  // namespace lumenrail
