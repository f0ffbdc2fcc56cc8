#include "support/StreamWatcher.hpp"

#include <sys/socket.h>

#include <algorithm>
#include <ctime>

#include "support/TestVideo.hpp"

namespace lumenrail::test {

namespace {
constexpr uint64_t kNsPerSecondForClient = 1'000'000'000;
uint64_t nowNs() { return StreamWatcher::monotonicNs(); }

uint64_t percentile(std::vector<uint64_t> sorted, size_t pct) {
  if (sorted.empty()) return 0;
  std::sort(sorted.begin(), sorted.end());
  return sorted[std::min(sorted.size() - 1, sorted.size() * pct / 100)];
}
}  // namespace

uint64_t StreamWatcher::monotonicNs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * kNsPerSecondForClient + static_cast<uint64_t>(ts.tv_nsec);
}

StreamWatcher::StreamWatcher(int fd, bool chunked) : client_(WireTestClient::fromFd(fd)), startNs_(nowNs()) {
  if (fd < 0) return;  // no link: nothing will come
  if (chunked) client_.send(Code::clientCaps, WireTestClient::clientCaps(1));
  thread_ = std::thread([this] { read(); });
}

std::optional<RawBytes> StreamWatcher::framePayload(RawPacket& packet, uint32_t& frameId) {
  frameId = 0;
  if (packet.type == Code::frame) return std::move(packet.payload);
  if (packet.type != Code::frameChunk || packet.payload.size() < 16) return std::nullopt;
  const uint32_t id = le32(packet.payload, 0);
  const uint32_t total = le32(packet.payload, 4);
  const uint32_t offset = le32(packet.payload, 8);
  // A chunk of another frame, or out of place, ends the one put together so far.
  if (id != chunkFrame_ || offset != chunks_.size()) {
    chunks_.clear();
    chunkFrame_ = id;
    if (offset != 0) return std::nullopt;
  }
  chunks_.insert(chunks_.end(), packet.payload.begin() + 16, packet.payload.end());
  if (packet.payload[12] != 1) return std::nullopt;
  RawBytes whole;
  whole.swap(chunks_);
  if (whole.size() != total) return std::nullopt;
  frameId = id;
  return whole;
}

StreamWatcher::~StreamWatcher() {
  stopping_ = true;
  ::shutdown(client_.fd(), SHUT_RDWR);
  if (thread_.joinable()) thread_.join();
}

StreamWatcher::Figures StreamWatcher::figures() const {
  std::lock_guard lock(mutex_);
  Figures f = figures_;
  // A freeze still going on counts too.
  const uint64_t since = lastPictureNs_ != 0 ? lastPictureNs_ : startNs_;
  if (f.endAtNs == 0) f.worstFreezeNs = std::max(f.worstFreezeNs, nowNs() - since);
  f.ageP50Ns = percentile(ages_, 50);
  f.ageP90Ns = percentile(ages_, 90);
  f.ageMaxNs = ages_.empty() ? 0 : *std::max_element(ages_.begin(), ages_.end());
  return f;
}

void StreamWatcher::restartAges() {
  std::lock_guard lock(mutex_);
  ages_.clear();
}

bool StreamWatcher::send(uint8_t type, const RawBytes& payload) {
  std::lock_guard lock(sendMutex_);
  return client_.send(type, payload);
}

void StreamWatcher::read() {
  TestDecoder decoder(Wire::Codec::h264);
  uint64_t intervalNs = 0;
  uint64_t lastCapture = 0;
  uint32_t lastFrameId = 0;
  bool broken = true;  // nothing to predict from until a keyframe
  while (!stopping_) {
    // A read that gave up inside a packet would lose the stream's framing:
    // the watcher reads until the link ends (the destructor shuts it).
    auto packet = client_.read(3600 * 1000);
    if (!packet) {
      std::lock_guard lock(mutex_);
      figures_.endAtNs = nowNs();
      figures_.cleanEnd = client_.endedBetweenPackets();
      return;
    }
    if (packet->type == Code::hello && packet->payload.size() >= 20) {
      const uint32_t num = le32(packet->payload, 12);
      const uint32_t den = le32(packet->payload, 16);
      if (num > 0) intervalNs = kNsPerSecondForClient * den / num;
      continue;
    }
    if (packet->type == Code::advisory && packet->payload.size() >= 4) {
      std::lock_guard lock(mutex_);
      if ((packet->payload[3] & 2) && !figures_.degradedSeen) {
        figures_.degradedSeen = true;
        figures_.degradedAtNs = nowNs();
      }
      continue;
    }
    if (packet->type == Code::bye) {
      std::lock_guard lock(mutex_);
      figures_.byeSeen = true;
      figures_.byeAtNs = nowNs();
      continue;
    }
    uint32_t frameId = 0;
    auto payload = framePayload(*packet, frameId);
    if (!payload || payload->size() < 12) continue;
    const uint64_t arrived = nowNs();
    const uint64_t capture = le64(*payload, 0);
    const bool keyframe = (*payload)[8] == 1;
    const Bytes unit(payload->begin() + 12, payload->end());
    // Chunks number the frames the host sent: a gap is a frame this client
    // did not get, whatever the capture times (a real screen's are uneven).
    const bool gap = lastCapture != 0 && intervalNs != 0 && capture > lastCapture + intervalNs + intervalNs / 2;
    const bool lost = frameId != 0 ? lastFrameId != 0 && frameId != lastFrameId + 1 : gap;
    lastCapture = capture;
    lastFrameId = frameId;
    if (lost) broken = true;
    if (keyframe) broken = false;
    // A frame that refers to one never received cannot be shown right, even
    // when the decoder conceals it.
    bool clean = !broken && decoder.decode(unit);
    if (clean) clean = decoder.picture()->decode_error_flags == 0 && !(decoder.picture()->flags & AV_FRAME_FLAG_CORRUPT);
    if (!clean) broken = true;
    const uint64_t now = nowNs();
    std::lock_guard lock(mutex_);
    ages_.push_back(arrived > capture ? arrived - capture : 0);
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
