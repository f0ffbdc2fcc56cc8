#include "wire/ClientConn.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

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

bool ClientConn::enqueueControlLocked(SharedPacket packet, bool once, std::unique_lock<std::mutex>& lock) {
  if (closed) return !overflowed;
  if (once && std::any_of(pending.begin(), pending.end(), [&](const Entry& e) {
        return !e.droppable && !e.audio && e.packets.size() == 1 && *e.packets[0] == *packet;
      })) {
    return true;
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

int64_t ClientConn::enqueueFrame(const std::vector<SharedPacket>& packets, bool keyframe, uint64_t captureNs,
                                 Lane frameLane) {
  int64_t evicted = 0;
  {
    std::lock_guard lock(mutex);
    if (closed || packets.empty() || frameLane != lane) return 0;
    if (awaitingKeyframe) {
      if (!keyframe) return 0;
      awaitingKeyframe = false;
    }
    auto evictOldestFrame = [&]() -> bool {
      auto it = std::find_if(pending.begin(), pending.end(), [](const Entry& e) { return e.droppable; });
      if (it == pending.end()) return false;
      pending.erase(it);
      --frameCount;
      ++dropped;
      ++evicted;
      return true;
    };
    while (frameCount >= maxFrames) {
      if (!evictOldestFrame()) break;
    }
    if (evicted > 0) {
      // Every queued frame up to the next keyframe refers to the one just
      // evicted: sending them would show a corrupt picture, so they go too.
      for (;;) {
        auto next = std::find_if(pending.begin(), pending.end(), [](const Entry& e) { return e.droppable; });
        if (next == pending.end() || next->keyframe) break;
        evictOldestFrame();
      }
      const bool queuedKeyframe = std::any_of(pending.begin(), pending.end(),
                                              [](const Entry& e) { return e.droppable && e.keyframe; });
      if (!queuedKeyframe && !keyframe) {
        awaitingKeyframe = true;  // the keyframe the eviction requested restarts this client
        return evicted;
      }
    }
    Entry e{packets};
    e.droppable = true;
    e.keyframe = keyframe;
    e.captureNs = captureNs;
    e.enqueuedNs = clock_();
    pending.push_back(std::move(e));
    ++frameCount;
  }
  cond.notify_all();
  return evicted;
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
      return Work{std::move(e.packets), false, e.captureNs, e.enqueuedNs};
    }
    if (closed) return std::nullopt;
    cond.wait(lock);
  }
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
