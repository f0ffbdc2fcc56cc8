#pragma once

// A client as a tablet runs it: reads the stream on a thread of its own,
// decodes every frame, and notes what it missed and how long the picture
// stood still. Losses are told by the capture times, which the host spaces one
// frame interval apart (NoiseStreamHost).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "support/WireTestClient.hpp"

namespace lumenrail::test {

class StreamWatcher final {
 public:
  struct Figures {
    int64_t frames = 0;       // frames received
    int64_t decoded = 0;      // frames that gave a clean picture
    int64_t undecodable = 0;  // a P-frame after a loss, or a picture the decoder could not make whole
    int64_t losses = 0;       // gaps in the capture times
    int64_t runSinceLoss = 0; // frames in a row since the last gap
    uint64_t worstFreezeNs = 0;  // longest time without a new clean picture (from the start on)
    bool degradedSeen = false;   // an Advisory carried the degraded flag
    bool byeSeen = false;
  };

  // Takes the connected socket.
  explicit StreamWatcher(int fd);
  ~StreamWatcher();
  StreamWatcher(const StreamWatcher&) = delete;
  StreamWatcher& operator=(const StreamWatcher&) = delete;

  Figures figures() const;
  bool send(uint8_t type, const RawBytes& payload);

 private:
  void read();

  WireTestClient client_;
  mutable std::mutex mutex_;
  Figures figures_;
  uint64_t startNs_ = 0;
  uint64_t lastPictureNs_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex sendMutex_;
  std::thread thread_;
};

}  // namespace lumenrail::test
