#pragma once

// The serving session's wire end for the latency benchmarks: a WireServer on
// a free loopback port announcing an H.264 stream at the session's settings,
// and a BenchFrameReceiver connected to it.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

#include "BenchFrameReceiver.hpp"
#include "media/VideoToolboxEncoder.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

class BenchWireLoop {
 public:
  static constexpr int32_t kFps = 60;
  static constexpr int32_t kBitrateBps = 12'000'000;

  // The encoder's configuration for the same stream.
  static VideoToolboxEncoder::Config encoderConfig(int32_t w, int32_t h) {
    return {w, h, kFps, kBitrateBps, Wire::Codec::h264, 1.0};
  }

  BenchWireLoop(int32_t w, int32_t h) {
    WireServer::Config config;
    config.port = 0;
    config.hello = {Wire::Codec::h264, uint32_t(w), uint32_t(h), kFps, 1, kBitrateBps, kNsPerSecond};
    server_ = WireServer::create(config);
    WireServer::Hooks hooks;
    hooks.onClientConnected = [this] {
      std::lock_guard lock(mutex_);
      connected_ = true;
      cv_.notify_all();
    };
    WireServer::recordKeyframes(hooks, keyframes_, uptimeNs);
    server_->setHooks(std::move(hooks));
  }
  BenchWireLoop(const BenchWireLoop&) = delete;
  BenchWireLoop& operator=(const BenchWireLoop&) = delete;

  WireServer& server() { return *server_; }
  // What the server asked of the encoder: true once per keyframe due.
  bool takeKeyframe() { return keyframes_->take(uptimeNs()); }
  BenchFrameReceiver& receiver() { return *receiver_; }

  // Connects the receiver to the started server; false when the server had
  // not taken it within 10 s.
  bool connect() {
    receiver_.emplace(server_->boundPort());
    std::unique_lock lock(mutex_);
    return receiver_->connected() && cv_.wait_for(lock, std::chrono::seconds(10), [&] { return connected_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool connected_ = false;
  const std::shared_ptr<KeyframeRequests> keyframes_ = std::make_shared<KeyframeRequests>();
  // After what its callback touches, so it goes first.
  std::shared_ptr<WireServer> server_;
  // Last, so it goes before the server it reads from.
  std::optional<BenchFrameReceiver> receiver_;
};

}  // namespace lumenrail
