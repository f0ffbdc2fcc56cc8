#include "wire/ClientConn.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <iterator>
#include <utility>

#include "wire/LinkBudget.hpp"

namespace lumenrail {

ClientConn::ClientConn(int fd_, int64_t maxFrames_, bool overNetwork_, NowNs clock)
    : fd(fd_), maxFrames(maxFrames_), overNetwork(overNetwork_), clock_(std::move(clock)) {}

bool ClientConn::enqueueControl(SharedPacket packet) {
  std::unique_lock lock(mutex);
  return enqueueControlLocked(std::move(packet), false, lock);
}

bool ClientConn::enqueueControlOnce(SharedPacket packet) {
  std::unique_lock lock(mutex);
  return enqueueControlLocked(std::move(packet), true, lock);
}

bool ClientConn::replacesWaiting(const Bytes& packet) {
  if (packet.empty()) return false;
  switch (static_cast<Wire::PacketType>(packet[0])) {
    case Wire::PacketType::viewportApplied:
    case Wire::PacketType::advisory:
    case Wire::PacketType::foregroundApp:
    case Wire::PacketType::peerVersion:
      return true;
    default:
      return false;
  }
}

namespace {

// The type byte of a waiting control packet, none for frames and audio.
std::optional<uint8_t> controlKind(const ClientConn::Entry& e) {
  if (e.droppable || e.audio || e.packets.size() != 1 || e.packets[0]->empty()) return std::nullopt;
  return (*e.packets[0])[0];
}

}  // namespace

bool ClientConn::enqueueControlLocked(SharedPacket packet, bool once, std::unique_lock<std::mutex>& lock) {
  if (closed) return !overflowed;
  const bool replaces = replacesWaiting(*packet);
  if (!packet->empty() && (once || replaces)) {
    const uint8_t kind = (*packet)[0];
    const auto newest =
        std::find_if(pending.rbegin(), pending.rend(), [&](const Entry& e) { return controlKind(e) == kind; });
    if (newest != pending.rend()) {
      if (once && *newest->packets[0] == *packet) return true;
      if (replaces) {
        // The newer one goes to the end, not into the older one's place: it
        // stays behind what was queued before it (a version report behind the
        // Hello it answers, a ViewportApplied ahead of the frames cut to it).
        pending.erase(std::next(newest).base());
        --controlCount;
      }
    }
  }
  if (controlCount >= kMaxControl) {
    overflowed = true;
    closed = true;
    pending.clear();
    interleave.clear();
    frameCount = audioCount = controlCount = 0;
    if (fdOpen) ::shutdown(fd, SHUT_RDWR);  // the read loop ends and tears the session down
    lock.unlock();
    cond.notify_all();
    return false;
  }
  pending.push_back(Entry{{std::move(packet)}});
  ++controlCount;
  lock.unlock();
  cond.notify_all();
  return true;
}

void ClientConn::enqueueAudio(SharedPacket packet) {
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    while (audioCount >= kMaxAudio) {
      auto it = std::find_if(pending.begin(), pending.end(), [](const Entry& e) { return e.audio; });
      if (it == pending.end()) break;
      pending.erase(it);
      --audioCount;
      ++audioDropped;
    }
    Entry e{{std::move(packet)}};
    e.audio = true;
    pending.push_back(std::move(e));
    ++audioCount;
  }
  cond.notify_all();
}

void ClientConn::enqueueInterleave(SharedPacket packet) {
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    if (static_cast<int64_t>(interleave.size()) >= kMaxInterleave) {
      interleave.erase(interleave.begin());
      ++interleaveDropped;
    }
    interleave.push_back(std::move(packet));
  }
  cond.notify_all();
}

void ClientConn::enqueueUrgentControl(SharedPacket packet) {
  {
    std::lock_guard lock(mutex);
    if (closed || packet->empty()) return;
    const uint8_t kind = (*packet)[0];
    const auto waiting =
        std::find_if(pending.begin(), pending.end(), [&](const Entry& e) { return controlKind(e) == kind; });
    if (waiting != pending.end()) {
      pending.erase(waiting);
      --controlCount;
    }
    std::erase_if(interleave, [&](const SharedPacket& p) { return !p->empty() && (*p)[0] == kind; });
    // A client reads the stream as the Hello it has describes it, and the
    // version report that follows it.
    static constexpr auto hello = static_cast<uint8_t>(Wire::PacketType::hello);
    static constexpr auto version = static_cast<uint8_t>(Wire::PacketType::peerVersion);
    const auto lastHello = std::find_if(pending.rbegin(), pending.rend(), [](const Entry& e) {
      const auto k = controlKind(e);
      return k == hello || k == version;
    });
    if (lastHello == pending.rend()) {
      interleave.push_back(std::move(packet));
    } else {
      pending.insert(lastHello.base(), Entry{{std::move(packet)}});
      ++controlCount;
    }
  }
  cond.notify_all();
}

void ClientConn::setLinkRate(uint64_t bytesPerSecond) {
  std::lock_guard lock(mutex);
  linkRate = bytesPerSecond;
}

bool ClientConn::isClosed() const {
  std::lock_guard lock(mutex);
  return closed;
}

// Keyframes are never held back by time, nor counted in it: a large keyframe
// on a link with room for the stream must not cost the frames that follow it.
bool ClientConn::queueFull(bool keyframe, int64_t bytes) const {
  if (frameCount >= maxFrames) return true;
  if (linkRate == 0) return false;
  int64_t waiting = 0;
  bool anyWaiting = false;
  for (const auto& e : pending) {
    if (!e.droppable || e.keyframe) continue;
    waiting += e.bytes;
    anyWaiting = true;
  }
  if (!anyWaiting) return false;  // one frame may always wait behind the one being sent
  return linkNs(waiting + (keyframe ? 0 : bytes), linkRate) > LinkBudget::kQueueNs;
}

ClientConn::FrameOutcome ClientConn::refuseFrame(int64_t lostBefore) {
  awaitingKeyframe = true;
  recovering = true;
  ++dropped;
  return FrameOutcome{lostBefore + 1, true};
}

ClientConn::FrameOutcome ClientConn::enqueueFrame(const std::vector<SharedPacket>& packets, bool keyframe,
                                                  uint64_t captureNs, Lane frameLane, uint32_t frameId) {
  const auto isFrame = [](const Entry& e) { return e.droppable; };
  const auto isKeyframe = [](const Entry& e) { return e.droppable && e.keyframe; };
  int64_t evicted = 0;
  int64_t bytes = 0;
  for (const auto& p : packets) bytes += static_cast<int64_t>(p->size());
  {
    std::lock_guard lock(mutex);
    if (closed || packets.empty() || frameLane != lane) return {};
    evicted = std::exchange(lostUntold, 0);
    if (awaitingKeyframe) {
      // A new client or lane has lost nothing yet; one that lost frames
      // misses each one until the keyframe.
      if (!keyframe) return recovering ? refuseFrame(evicted) : FrameOutcome{evicted, false};
      awaitingKeyframe = false;
      recovering = false;
    }
    while (queueFull(keyframe, bytes)) {
      const auto oldest = std::find_if(pending.begin(), pending.end(), isFrame);
      if (oldest == pending.end()) break;
      // Older frames may go only where a later keyframe makes them needless:
      // every frame up to a keyframe refers to the ones before it.
      const auto nextKey = std::find_if(std::next(oldest), pending.end(), isKeyframe);
      if (nextKey == pending.end() && !keyframe) return refuseFrame(evicted);  // the queued ones still decode
      const auto kept = std::remove_if(oldest, nextKey, isFrame);  // control and audio keep their order
      const auto n = static_cast<int64_t>(std::distance(kept, nextKey));
      pending.erase(kept, nextKey);
      frameCount -= n;
      dropped += n;
      evicted += n;
    }
    Entry e{packets};
    e.droppable = true;
    e.keyframe = keyframe;
    e.captureNs = captureNs;
    e.enqueuedNs = clock_();
    e.bytes = bytes;
    e.frameId = frameId;
    pending.push_back(std::move(e));
    ++frameCount;
  }
  cond.notify_all();
  return FrameOutcome{evicted, false};  // lost ones the writer dropped ask for no keyframe: one is on its way or queued
}

std::optional<ClientConn::Work> ClientConn::nextWork() {
  std::unique_lock lock(mutex);
  for (;;) {
    if (!interleave.empty()) {
      Work w;
      w.batch = true;
      w.packets.swap(interleave);
      return w;
    }
    if (!pending.empty()) {
      Entry e = std::move(pending.front());
      pending.pop_front();
      if (e.droppable) --frameCount;
      if (e.audio) --audioCount;
      if (!e.droppable && !e.audio) --controlCount;
      return Work{std::move(e.packets), false, e.captureNs, e.enqueuedNs, e.droppable, e.keyframe, e.bytes, e.frameId};
    }
    if (closed) return std::nullopt;
    cond.wait(lock);
  }
}

void ClientConn::dropTakenFrame() {
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    int64_t n = 1;
    const auto isKeyframe = [](const Entry& e) { return e.droppable && e.keyframe; };
    const auto nextKey = std::find_if(pending.begin(), pending.end(), isKeyframe);
    const bool keyframeQueued = nextKey != pending.end();
    const auto kept = std::remove_if(pending.begin(), nextKey, [](const Entry& e) { return e.droppable; });
    const auto gone = static_cast<int64_t>(std::distance(kept, nextKey));
    pending.erase(kept, nextKey);
    n += gone;
    frameCount -= gone;
    if (!keyframeQueued) {
      awaitingKeyframe = true;
      recovering = true;
    }
    dropped += n;
    lostUntold += n;
  }
  cond.notify_all();
}

std::vector<SharedPacket> ClientConn::takeInterleave() {
  std::lock_guard lock(mutex);
  std::vector<SharedPacket> out;
  out.swap(interleave);
  return out;
}

void ClientConn::close() {
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    closed = true;
    pending.clear();
    interleave.clear();
    frameCount = 0;
    audioCount = 0;
    controlCount = 0;
  }
  cond.notify_all();
}

void ClientConn::closeSending(SharedPacket last) {
  {
    std::lock_guard lock(mutex);
    if (closed) return;
    std::erase_if(pending, [](const Entry& e) { return e.droppable || e.audio; });
    frameCount = 0;
    audioCount = 0;
    pending.push_back(Entry{{std::move(last)}});
    controlCount = static_cast<int64_t>(pending.size());
    closed = true;
    byeQueued = true;
  }
  cond.notify_all();
}

void ClientConn::switchLane(Lane newLane, SharedPacket hello) {
  {
    std::lock_guard lock(mutex);
    if (closed || lane == newLane) return;
    lane = newLane;
    std::erase_if(pending, [](const Entry& e) { return e.droppable; });
    frameCount = 0;
    awaitingKeyframe = true;
    recovering = false;  // a fresh start on the other stream, nothing lost
    pending.push_back(Entry{{std::move(hello)}});
    ++controlCount;
  }
  cond.notify_all();
}

bool ClientConn::shutdownIfOpen(int how) {
  std::lock_guard lock(mutex);
  if (fdOpen) ::shutdown(fd, how);
  return fdOpen;
}

void ClientConn::closeSocket() {
  std::lock_guard lock(mutex);
  if (!fdOpen) return;
  fdOpen = false;
  ::close(fd);
}

}  // namespace lumenrail
