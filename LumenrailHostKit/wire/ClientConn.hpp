#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.hpp"
#include "platform/Clock.hpp"
#include "platform/OneShotEvent.hpp"
#include "wire/LineBudget.hpp"
#include "wire/PeerVersion.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// Which encoded stream a client receives: the main one, or the shared reduced
// stream for clients whose panel is smaller than the main stream.
enum class Lane : uint8_t { main, small };

// A packet built once and shared by every queue it goes to.
using SharedPacket = std::shared_ptr<const Bytes>;

inline SharedPacket sharePacket(Bytes packet) { return std::make_shared<const Bytes>(std::move(packet)); }

// One registered connection: its bounded send queue, drained by the session's
// write thread, and what the client has asked for. `mutex` guards everything
// but the fields fixed before registration and `announced`.
class ClientConn final {
 public:
  struct Entry {
    std::vector<SharedPacket> packets;
    bool droppable = false;  // a video frame
    bool audio = false;
    bool keyframe = false;
    uint64_t captureNs = 0;
    uint64_t enqueuedNs = 0;
    int64_t bytes = 0;  // of a frame
    uint32_t frameId = 0;
  };

  // The whole interleave list (`batch`), or one pending entry.
  struct Work {
    std::vector<SharedPacket> packets;
    bool batch = false;
    uint64_t captureNs = 0;
    uint64_t enqueuedNs = 0;
    bool frame = false;
    bool keyframe = false;
    int64_t bytes = 0;
    uint32_t frameId = 0;  // the server's number for the frame, for its chunks
  };

  static constexpr int64_t kMaxAudio = 6;
  // Urgent packets (time-sync replies, ink notices) waiting: beyond, the
  // oldest goes; a newer reply serves the client's clock better anyway.
  static constexpr int64_t kMaxInterleave = 32;
  // Control packets waiting: a client that lets this many pile up does not
  // read, and its session ends rather than hold the host's memory.
  static constexpr int64_t kMaxControl = 256;

  // A control packet of a kind where a newer one makes the waiting one
  // worthless: ViewportApplied, Advisory, ForegroundApp, the version report.
  static bool replacesWaiting(const Bytes& packet);

  ClientConn(int fd, int64_t maxFrames, bool overNetwork, NowNs clock = uptimeNs);
  ClientConn(const ClientConn&) = delete;
  ClientConn& operator=(const ClientConn&) = delete;

  const int fd;
  const int64_t maxFrames;
  const bool overNetwork;
  // Fixed before registration.
  std::optional<std::string> fingerprint;
  bool cable = false;
  // Began with a first record another live session began with: a replay,
  // most likely, so its lines share the budget of links not yet served.
  bool replayed = false;
  // Connection thread only.
  bool announced = false;
  LineBudget lines{20, kNsPerSecond};

  // What one frame cost this client.
  struct FrameOutcome {
    int64_t lost = 0;            // frames it will never get: evicted ones, and this one when refused
    bool needsKeyframe = false;  // it lost frames and waits for a keyframe to go on
    bool operator==(const FrameOutcome&) const = default;
  };

  // False, and the connection closed, when the control bound is passed.
  // Messages of which only the newest value counts (see replacesWaiting)
  // take the place of the one of their kind still waiting, so they never
  // pile up however often they are sent.
  bool enqueueControl(SharedPacket packet);
  // The same, but nothing is queued while the newest waiting packet of its
  // kind is equal (a Hello asked for again before the last one went out).
  bool enqueueControlOnce(SharedPacket packet);
  void enqueueAudio(SharedPacket packet);
  void enqueueInterleave(SharedPacket packet);
  // A control packet that overtakes everything queued but a Hello and its
  // version report (an Advisory never comes before the Hello it counts on):
  // among the urgent ones, or right behind the last Hello or report still
  // waiting. It takes the place of a waiting one of its kind.
  void enqueueUrgentControl(SharedPacket packet);
  // The client always gets a decodable sequence: a frame whose reference is
  // gone is not sent, and every frame it does not get counts as lost. Beside
  // the frame budget, the frames that wait may take the link at most
  // LinkBudget::kQueueNs to carry, once its rate is known (setLinkRate).
  FrameOutcome enqueueFrame(const std::vector<SharedPacket>& packets, bool keyframe, uint64_t captureNs, Lane lane,
                            uint32_t frameId = 0);
  // Blocks until there is work; nothing once closed and empty.
  std::optional<Work> nextWork();
  // The writer gives up a frame it has taken that would reach the client too
  // late: it and every frame queued after it up to a keyframe are lost, the
  // client waits for a keyframe, and the next frame's outcome tells of it.
  void dropTakenFrame();
  std::vector<SharedPacket> takeInterleave();
  void close();
  // Drops queued frames and audio, keeps control and interleave packets, appends `last` and closes.
  void closeSending(SharedPacket last);
  void switchLane(Lane lane, SharedPacket hello);
  // What the client's link carries, bytes per second (0: unknown), as its
  // writer last read it from the kernel.
  void setLinkRate(uint64_t bytesPerSecond);
  // The writer gives up the rest of a frame's chunks once the session is
  // closed: a Bye waits behind at most one chunk.
  bool isClosed() const;

  // Shuts the socket down unless teardown has already closed it.
  bool shutdownIfOpen(int how);  // false: the socket was closed already
  // Clears fdOpen and closes the socket, once.
  void closeSocket();

  mutable std::mutex mutex;
  std::condition_variable cond;
  OneShotEvent finished;  // the write thread has ended
  OneShotEvent drained;   // the write thread has sent its last packet (or failed)

  // Guarded by `mutex`.
  std::deque<Entry> pending;
  std::vector<SharedPacket> interleave;
  int64_t frameCount = 0;
  int64_t audioCount = 0;
  int64_t audioDropped = 0;
  int64_t controlCount = 0;
  int64_t interleaveDropped = 0;
  bool overflowed = false;  // closed because its control packets passed the bound
  bool closed = false;
  bool byeQueued = false;  // closed by closeSending: the last packet is a Bye
  bool sendFailed = false;
  bool awaitingKeyframe = true;
  bool recovering = false;  // awaiting a keyframe because frames were lost: refusals count
  int64_t dropped = 0;      // frames lost under backpressure, refused ones included
  bool wantsAudio = false;
  bool wantsAudioPcm = false;
  bool wantsHevc = false;
  bool capsDeclared = false;
  bool wantsFrameChunk = false;
  Wire::EncoderConfigRequest encoderConfig = Wire::EncoderConfigRequest::none();
  bool fdOpen = true;
  std::string deviceName;
  std::optional<PeerVersion> peerVersion;
  bool versionJudged = false;
  bool versionRefused = false;
  Lane lane = Lane::main;
  uint64_t linkRate = 0;
  int64_t lostUntold = 0;  // dropped by the writer, not yet in a FrameOutcome

 private:
  // The frame budget, or the link time of the frames that would wait, is spent.
  bool queueFull(bool keyframe, int64_t bytes) const;
  bool enqueueControlLocked(SharedPacket packet, bool once, std::unique_lock<std::mutex>& lock);
  // The frame is lost to this client, and so is every frame after it up to the next keyframe.
  FrameOutcome refuseFrame(int64_t lostBefore);
  NowNs clock_;
};

}  // namespace lumenrail
