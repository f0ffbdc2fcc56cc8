#include "support/StreamWatcher.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "support/TestVideo.hpp"

namespace lumenrail::test {

namespace {
constexpr uint64_t kNsPerSecondForClient = 1'000'000'000;
uint64_t nowNs() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}
}  // namespace

StreamWatcher::StreamWatcher(int fd) : client_(WireTestClient::fromFd(fd)), startNs_(nowNs()) {
  thread_ = std::thread([this] { read(); });
}

StreamWatcher::~StreamWatcher() {
  stopping_ = true;
  ::shutdown(client_.fd(), SHUT_RDWR);
  thread_.join();
}

StreamWatcher::Figures StreamWatcher::figures() const {
  std::lock_guard lock(mutex_);
  Figures f = figures_;
  // A freeze still going on counts too.
  const uint64_t since = lastPictureNs_ != 0 ? lastPictureNs_ : startNs_;
  f.worstFreezeNs = std::max(f.worstFreezeNs, nowNs() - since);
  return f;
}

bool StreamWatcher::send(uint8_t type, const RawBytes& payload) {
  std::lock_guard lock(sendMutex_);
  return client_.send(type, payload);
}

void StreamWatcher::read() {
  TestDecoder decoder(Wire::Codec::h264);
  uint64_t intervalNs = 0;
  uint64_t lastCapture = 0;
  bool broken = true;  // nothing to predict from until a keyframe
  while (!stopping_) {
    // A read that gave up inside a packet would lose the stream's framing:
    // the watcher reads until the link ends (the destructor shuts it).
    auto packet = client_.read(3600 * 1000);
    if (!packet) return;
    if (packet->type == Code::hello && packet->payload.size() >= 20) {
      const uint32_t num = le32(packet->payload, 12);
      const uint32_t den = le32(packet->payload, 16);
      if (num > 0) intervalNs = kNsPerSecondForClient * den / num;
      continue;
    }
    if (packet->type == Code::advisory && packet->payload.size() >= 4) {
      std::lock_guard lock(mutex_);
      if (packet->payload[3] & 2) figures_.degradedSeen = true;
      continue;
    }
    if (packet->type == Code::bye) {
      std::lock_guard lock(mutex_);
      figures_.byeSeen = true;
      continue;
    }
    if (packet->type != Code::frame || packet->payload.size() < 12) continue;
    const uint64_t capture = le64(packet->payload, 0);
    const bool keyframe = packet->payload[8] == 1;
    const Bytes unit(packet->payload.begin() + 12, packet->payload.end());
    const bool lost = lastCapture != 0 && intervalNs != 0 && capture > lastCapture + intervalNs + intervalNs / 2;
    lastCapture = capture;
    if (lost) broken = true;
    if (keyframe) broken = false;
    // A frame that refers to one never received cannot be shown right, even
    // when the decoder conceals it.
    bool clean = !broken && decoder.decode(unit);
    if (clean) clean = decoder.picture()->decode_error_flags == 0 && !(decoder.picture()->flags & AV_FRAME_FLAG_CORRUPT);
    if (!clean) broken = true;
    const uint64_t now = nowNs();
    std::lock_guard lock(mutex_);
    ++figures_.frames;
    if (lost) {
      ++figures_.losses;
      figures_.runSinceLoss = 0;
    }
    ++figures_.runSinceLoss;
    if (!clean) {
      ++figures_.undecodable;
      continue;
    }
    ++figures_.decoded;
    if (lastPictureNs_ != 0 && now - lastPictureNs_ > figures_.worstFreezeNs) figures_.worstFreezeNs = now - lastPictureNs_;
    lastPictureNs_ = now;
  }
}

}  // namespace lumenrail::test
