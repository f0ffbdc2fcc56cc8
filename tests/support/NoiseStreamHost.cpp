#include "support/NoiseStreamHost.hpp"

#include <chrono>

#include "media/PixelBuffer.hpp"
#include "media/VideoToolboxEncoder.hpp"

namespace lumenrail::test {

NoiseStreamHost::NoiseStreamHost(const Settings& settings, std::function<void(const std::string&)> log)
    : settings_(settings), log_(std::move(log)) {
  VideoToolboxEncoder::Config ec;
  ec.width = settings.width;
  ec.height = settings.height;
  ec.fps = settings.fps;
  ec.bitrateBps = settings.bitrateBps;
  ec.codec = Wire::Codec::h264;
  // Rare scheduled keyframes: after a loss the stream comes back through the
  // server's keyframe request, not by luck.
  ec.keyframeIntervalSeconds = 30;
  encoder_ = std::make_shared<VideoToolboxEncoder>(ec);
  bitrateBps_ = settings.bitrateBps;

  WireServer::Config sc;
  sc.port = 0;
  sc.hello.codec = Wire::Codec::h264;
  sc.hello.width = static_cast<uint32_t>(settings.width);
  sc.hello.height = static_cast<uint32_t>(settings.height);
  sc.hello.frameRateNum = static_cast<uint32_t>(settings.fps);
  sc.hello.frameRateDen = 1;
  sc.hello.bitrateBps = static_cast<uint32_t>(settings.bitrateBps);
  sc.hello.qpcFrequency = kNsPerSecond;
  server_ = WireServer::create(sc);
  WireServer::Hooks hooks;
  hooks.onEvent = [this](const std::string& line) {
    if (log_) log_("[wire] " + line);
  };
  hooks.onEncoderConfigChanged = [this](const Wire::EncoderConfigRequest& merged) {
    const int64_t bps = merged.hasBitrate() ? merged.bitrateKbps * 1000 : settings_.bitrateBps;
    encoder_->applyLiveConfig(std::nullopt, static_cast<int32_t>(bps), std::nullopt);
    bitrateBps_ = bps;
  };
  WireServer::recordKeyframes(hooks, keyframes_, uptimeNs);
  server_->setHooks(std::move(hooks));
  std::weak_ptr<WireServer> weak = server_;
  encoder_->sink = [weak](const EncodedFrame& frame) {
    if (auto s = weak.lock()) s->broadcast(frame.captureTimeNs, frame.isKeyframe, frame.data, Lane::main);
  };
}

NoiseStreamHost::~NoiseStreamHost() {
  stop();
  encoder_->stop();
}

void NoiseStreamHost::stop() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  server_->stop();
}

void NoiseStreamHost::start() {
  encoder_->start();
  server_->start();
  thread_ = std::thread([this] { pump(); });
}

// Each frame carries the time it was due on CLOCK_MONOTONIC, one frame
// interval after the last, so a client tells from the times alone which
// frames it did not get, and how old each is when it arrives.
void NoiseStreamHost::pump() {
  const auto period = std::chrono::nanoseconds(kNsPerSecond / settings_.fps);
  auto due = std::chrono::steady_clock::now();
  uint64_t seed = 0x9E3779B97F4A7C15ull;
  while (!stopping_) {
    auto buffer = PixelBuffer::make(PixelFormat::nv12FullRange, settings_.width, settings_.height);
    for (int plane = 0; plane < 2; ++plane) {
      const int64_t rows = plane == 0 ? settings_.height : settings_.height / 2;
      for (int64_t y = 0; y < rows; ++y) {
        auto* row = reinterpret_cast<uint64_t*>(buffer->planeData(plane) + y * buffer->bytesPerRow(plane));
        for (int64_t x = 0; x < settings_.width / 8; ++x) {
          seed ^= seed << 13;
          seed ^= seed >> 7;
          seed ^= seed << 17;
          row[x] = seed;
        }
      }
    }
    try {
      const auto captureNs = std::chrono::duration_cast<std::chrono::nanoseconds>(due.time_since_epoch()).count();
      encoder_->encode(buffer, static_cast<uint64_t>(captureNs), keyframes_->take(uptimeNs()));
      ++framesEncoded_;
    } catch (const std::exception& e) {
      if (log_) log_(std::string("[enc] frame lost: ") + e.what());
    }
    due += period;
    std::this_thread::sleep_until(due);  // the frame rate, not a wait for anything
  }
}

}  // namespace lumenrail::test
