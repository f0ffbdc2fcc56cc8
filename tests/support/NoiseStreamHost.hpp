#pragma once

// The serving path cut down to what a link test needs: the wire server fed by
// the real H.264 encoder at a steady frame rate, with pictures of noise, so
// that the stream runs at the bit rate it is given (a still or smooth picture
// would undershoot it). It honours the server's keyframe requests and applies
// the clients' merged bit-rate wish live, as the serving session does.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "wire/WireServer.hpp"

namespace lumenrail {
class VideoToolboxEncoder;
}

namespace lumenrail::test {

class NoiseStreamHost final {
 public:
  struct Settings {
    int32_t width = 640;
    int32_t height = 360;
    int32_t fps = 30;
    int32_t bitrateBps = 4'000'000;
  };

  // Lines of the server and the encoder; may be empty.
  NoiseStreamHost(const Settings& settings, std::function<void(const std::string&)> log);
  ~NoiseStreamHost();
  NoiseStreamHost(const NoiseStreamHost&) = delete;
  NoiseStreamHost& operator=(const NoiseStreamHost&) = delete;

  // Listens (in the calling thread's network namespace) and starts the frames.
  void start();
  // Ends the frames and stops the server (its Bye to every client).
  void stop();
  uint16_t port() const { return server_->boundPort(); }
  WireServer& server() { return *server_; }
  int64_t framesEncoded() const { return framesEncoded_.load(); }
  // The bit rate the encoder was last set to.
  int64_t bitrateBps() const { return bitrateBps_.load(); }

 private:
  void pump();

  const Settings settings_;
  std::function<void(const std::string&)> log_;
  std::shared_ptr<WireServer> server_;
  const std::shared_ptr<KeyframeRequests> keyframes_ = std::make_shared<KeyframeRequests>();
  std::shared_ptr<VideoToolboxEncoder> encoder_;
  std::atomic<bool> stopping_{false};
  std::atomic<int64_t> framesEncoded_{0};
  std::atomic<int64_t> bitrateBps_{0};
  std::thread thread_;
};

}  // namespace lumenrail::test
