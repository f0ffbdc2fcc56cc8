#pragma once

// A client as a tablet runs it: reads the stream on a thread of its own,
// decodes every frame, and notes what it missed, how long the picture stood
// still and how old each frame was when it arrived. Losses are told by the
// frame ids of the chunks, or for whole frames by the capture times, which
// the host then spaces one frame interval apart (NoiseStreamHost); ages need
// a host on this machine's CLOCK_MONOTONIC.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

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
    // Capture to arrival of the frames received since restartAges().
    uint64_t ageP50Ns = 0, ageP90Ns = 0, ageMaxNs = 0;
    // CLOCK_MONOTONIC of the first degraded Advisory, the Bye and the end
    // of the stream (0: not yet); `cleanEnd` when it ended between packets.
    uint64_t degradedAtNs = 0, byeAtNs = 0, endAtNs = 0;
    bool cleanEnd = false;
  };

  // Takes the connected socket. A `chunked` client declares FrameChunk and
  // puts each frame together from its chunks, as tablet clients do.
  explicit StreamWatcher(int fd, bool chunked = false);
  ~StreamWatcher();
  StreamWatcher(const StreamWatcher&) = delete;
  StreamWatcher& operator=(const StreamWatcher&) = delete;

  Figures figures() const;
  bool send(uint8_t type, const RawBytes& payload);
  // Ages count from here on (a phase of a run).
  void restartAges();
  static uint64_t monotonicNs();

 private:
  void read();
  // The frame payload a packet completes: a Frame's own, or the last chunk's frame.
  std::optional<RawBytes> framePayload(RawPacket& packet, uint32_t& frameId);

  WireTestClient client_;
  mutable std::mutex mutex_;
  Figures figures_;
  uint64_t startNs_ = 0;
  uint64_t lastPictureNs_ = 0;
  std::vector<uint64_t> ages_;
  RawBytes chunks_;  // the frame being put together (reader thread)
  uint32_t chunkFrame_ = 0;
  std::atomic<bool> stopping_{false};
  std::mutex sendMutex_;
  std::thread thread_;
};

}  // namespace lumenrail::test
