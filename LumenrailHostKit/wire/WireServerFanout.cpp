// Fan-out to the client queues, the server-wide stream state, the clients'
// listing, the advisory and the version verdict.
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

#include "platform/Socket.hpp"
#include "platform/Utf8.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {

std::string fdList(std::vector<int32_t> fds) {
  std::sort(fds.begin(), fds.end());
  std::string s = "[";
  for (size_t i = 0; i < fds.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(fds[i]);
  }
  return s + "]";
}

std::string helloLabel(const Wire::HelloParams& h) {
  return std::to_string(h.width) + "x" + std::to_string(h.height) + "@" + std::to_string(h.frameRateNum);
}

// Wire::frameChunks of the payload `head` + `body`, without first joining
// the two: each byte of the access unit is copied once, into its chunk.
std::vector<SharedPacket> frameChunkPackets(uint32_t frameId, ByteView head, ByteView body) {
  const size_t total = head.size() + body.size();
  std::vector<SharedPacket> out;
  out.reserve(total / Wire::frameChunkMaxData + 1);
  size_t offset = 0;
  for (;;) {
    const size_t n = std::min(total - offset, Wire::frameChunkMaxData);
    const bool last = offset + n >= total;
    const size_t payloadSize = Wire::frameChunkHeaderSize + n;
    Bytes chunk;
    chunk.reserve(Wire::headerSize + payloadSize);
    chunk.push_back(static_cast<uint8_t>(Wire::PacketType::frameChunk));
    Wire::appendLE32(chunk, static_cast<uint32_t>(payloadSize));
    Wire::appendLE32(chunk, frameId);
    Wire::appendLE32(chunk, static_cast<uint32_t>(total));
    Wire::appendLE32(chunk, static_cast<uint32_t>(offset));
    chunk.push_back(last ? 1 : 0);
    chunk.insert(chunk.end(), 3, 0);
    const size_t fromHead = offset < head.size() ? std::min(head.size() - offset, n) : 0;
    if (fromHead > 0) {
      chunk.insert(chunk.end(), head.begin() + static_cast<ptrdiff_t>(offset),
                   head.begin() + static_cast<ptrdiff_t>(offset + fromHead));
    }
    if (n > fromHead) {
      const size_t bodyAt = offset + fromHead - head.size();
      chunk.insert(chunk.end(), body.begin() + static_cast<ptrdiff_t>(bodyAt),
                   body.begin() + static_cast<ptrdiff_t>(bodyAt + n - fromHead));
    }
    out.push_back(sharePacket(std::move(chunk)));
    if (last) break;
    offset += n;
  }
  return out;
}

}  // namespace

// ---- Frames, audio and control messages ------------------------------------

void WireServer::broadcast(uint64_t captureTicks, bool keyframe, ByteView accessUnit, Lane lane) {
  const uint32_t frameId = ++frameIdCounter_;  // wraps at 2^32
  // Built at most once each, on the first client that needs that form, and
  // straight from the access unit: its bytes are copied once per form.
  std::vector<SharedPacket> whole;
  std::vector<SharedPacket> chunks;
  int64_t lost = 0;
  bool keyframeNeeded = false;
  for (const auto& conn : clientList()) {
    bool chunked;
    {
      std::lock_guard lock(conn->mutex);
      if (conn->lane != lane) continue;
      chunked = conn->wantsFrameChunk;
    }
    std::vector<SharedPacket>& packets = chunked ? chunks : whole;
    if (packets.empty()) {
      if (chunked) {
        chunks = frameChunkPackets(frameId, Wire::framePayload(captureTicks, keyframe, {}), accessUnit);
      } else {
        whole.push_back(sharePacket(Wire::frame(captureTicks, keyframe, accessUnit)));
      }
    }
    const auto outcome = conn->enqueueFrame(packets, keyframe, captureTicks, lane, frameId);
    lost += outcome.lost;
    keyframeNeeded = keyframeNeeded || outcome.needsKeyframe;
  }
  if (lost > 0) advisory_.noteLost(lost);
  if (keyframeNeeded) requestLossKeyframe(lane);
}

// Asked again on every frame a client misses until its keyframe comes, but
// at most once an interval per lane: a client that never reads must not turn
// everyone's stream into keyframes.
void WireServer::requestLossKeyframe(Lane lane) {
  auto& last = lossKeyframeNs_[lane == Lane::small ? 1 : 0];
  const uint64_t now = config_.nowNs();
  uint64_t was = last.load();
  if ((was == kNever || now - was >= kLossKeyframeIntervalNs) && last.compare_exchange_strong(was, now)) {
    keyframeNeeded();
  }
}

void WireServer::broadcastAudio(uint64_t captureTicks, Wire::AudioCodec codec, bool config, uint8_t channels,
                                uint32_t sampleRate, ByteView data) {
  const SharedPacket packet = sharePacket(Wire::audio(captureTicks, codec, config, channels, sampleRate, data));
  const bool pcm = codec == Wire::AudioCodec::pcmS16;
  std::vector<std::shared_ptr<ClientConn>> targets;
  {
    std::lock_guard lock(clientsMutex_);
    for (auto& [fd, conn] : clients_) {
      std::lock_guard connLock(conn->mutex);
      if (conn->wantsAudio && conn->wantsAudioPcm == pcm) targets.push_back(conn);
    }
  }
  for (auto& conn : targets) conn->enqueueAudio(packet);
}

void WireServer::broadcastInkObserved(uint64_t captureTicks) {
  const SharedPacket packet = sharePacket(Wire::inkObserved(captureTicks));
  for (auto& conn : clientList()) conn->enqueueInterleave(packet);
}

void WireServer::broadcastForegroundApp(std::string_view name) {
  auto bytes = Wire::foregroundApp(name);
  if (!bytes) return;
  const SharedPacket packet = sharePacket(std::move(*bytes));
  for (auto& conn : clientList()) conn->enqueueControl(packet);
}

void WireServer::broadcastViewportApplied(const Wire::ViewportRectQ16& viewport) {
  const SharedPacket packet = sharePacket(Wire::viewportApplied(viewport));
  for (auto& conn : clientList()) conn->enqueueControl(packet);
}

void WireServer::broadcastEncoderConfigApplied(const Wire::EncoderConfigRequest& request) {
  const SharedPacket packet = sharePacket(Wire::encoderConfigApplied(request));
  for (auto& conn : clientList()) conn->enqueueControl(packet);
}

// ---- Hello and lanes ---------------------------------------------------------

SharedPacket WireServer::helloPacket(const ClientConn& conn) {
  std::lock_guard lock(helloMutex_);
  Lane lane;
  {
    std::lock_guard connLock(conn.mutex);
    lane = conn.lane;
  }
  if (lane == Lane::small && smallHello_) return sharePacket(Wire::hello(*smallHello_));
  return sharePacket(Wire::hello(hello_));
}

void WireServer::rebroadcastHello(const Wire::HelloParams& hello) {
  {
    std::lock_guard lock(helloMutex_);
    hello_ = hello;
  }
  const auto list = clientList();
  for (auto& conn : list) queueHelloAndVersion(*conn);
  keyframeNeeded();
  event("Hello rebroadcast " + helloLabel(hello) + " → " + std::to_string(list.size()) + " client(s)");
}

void WireServer::setSmallLane(const std::optional<Wire::HelloParams>& hello, const std::set<int32_t>& members) {
  std::optional<Wire::HelloParams> oldSmall;
  Wire::HelloParams main;
  {
    std::lock_guard lock(helloMutex_);
    oldSmall = smallHello_;
    smallHello_ = hello;
    main = hello_;
  }
  const bool smallChanged = !oldSmall || !hello || Wire::hello(*oldSmall) != Wire::hello(*hello);
  std::vector<int32_t> changed;
  for (auto& conn : clientList()) {
    const Lane want = (hello && members.count(conn->fd)) ? Lane::small : Lane::main;
    Lane current;
    {
      std::lock_guard lock(conn->mutex);
      current = conn->lane;
    }
    auto version = versionGate_.reportPacket();
    if (current == want) {
      if (want == Lane::main || !smallChanged) continue;
      conn->enqueueControl(sharePacket(Wire::hello(*hello)));
    } else {
      conn->switchLane(want, sharePacket(Wire::hello(want == Lane::small ? *hello : main)));
    }
    if (version) conn->enqueueControl(sharePacket(std::move(*version)));
    changed.push_back(conn->fd);
  }
  if (changed.empty()) return;
  keyframeNeeded();
  if (!hello) {
    event("small lane removed → fd " + fdList(changed) + " back on the main stream");
  } else {
    event("small lane " + helloLabel(*hello) + " → fd " + fdList(changed));
  }
}

void WireServer::recordKeyframes(Hooks& hooks, std::shared_ptr<KeyframeRequests> requests, NowNs now) {
  hooks.onKeyframeNeeded = [requests] { requests->raise(); };
  hooks.onKeyframeAsked = [requests, now = std::move(now)](int32_t fd) { requests->ask(fd, now()); };
  // Keyed by socket: forgotten before the owner hears of the departure, while the descriptor is still the client's.
  hooks.onClientDisconnected = [requests, then = std::move(hooks.onClientDisconnected)](int32_t fd) {
    requests->forget(fd);
    if (then) then(fd);
  };
}

void WireServer::keyframeNeeded() const {
  if (hooks_.onKeyframeNeeded) hooks_.onKeyframeNeeded();
}

void WireServer::keyframeAsked(int32_t fd) const {
  if (hooks_.onKeyframeAsked) hooks_.onKeyframeAsked(fd);
}

void WireServer::resetViewport() { storeViewport(Wire::ViewportRectQ16::full()); }

bool WireServer::storeViewport(const Wire::ViewportRectQ16& viewport) {
  std::lock_guard lock(viewportMutex_);
  const bool wasFull = desiredViewport_.isFull();
  desiredViewport_ = viewport;
  if (hooks_.onViewportChanged) hooks_.onViewportChanged(viewport);
  return wasFull;
}

// ---- Clients -----------------------------------------------------------------

int64_t WireServer::clientCount() const {
  std::lock_guard lock(clientsMutex_);
  return static_cast<int64_t>(clients_.size());
}

std::vector<WireServer::ConnectedClient> WireServer::connectedClients() const {
  std::vector<ConnectedClient> list;
  std::lock_guard lock(clientsMutex_);
  for (const auto& [fd, conn] : clients_) {
    std::lock_guard c(conn->mutex);
    list.push_back({fd, conn->deviceName, conn->fingerprint, conn->overNetwork});
  }
  return list;
}

int64_t WireServer::disconnect(const std::string& fingerprint) {
  std::vector<std::shared_ptr<ClientConn>> ended;
  {
    std::lock_guard lock(clientsMutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
      if (it->second->fingerprint == fingerprint) {
        ended.push_back(it->second);
        it = clients_.erase(it);
      } else {
        ++it;
      }
    }
  }
  if (ended.empty()) return 0;
  event("BYE (0x09) → " + std::to_string(ended.size()) + " connection(s) — host disconnected " + fingerprint);
  const SharedPacket bye = sharePacket(Wire::bye());
  for (auto& conn : ended) conn->closeSending(bye);
  const uint64_t deadline = config_.nowNs() + kByeWaitNs;
  for (auto& conn : ended) waitUntil(conn->drained, deadline);
  for (auto& conn : ended) conn->shutdownIfOpen(SHUT_WR);  // a writer still stuck in a send ends here
  // The sessions read on until their clients close; those that do not are cut off at the deadline.
  const uint64_t now = config_.nowNs();
  std::vector<std::weak_ptr<ClientConn>> lingering(ended.begin(), ended.end());
  timerQueue_.asyncAfter(deadline > now ? deadline - now : 0, [lingering] {
    for (auto& weak : lingering) {
      if (auto c = weak.lock()) c->shutdownIfOpen(SHUT_RDWR);
    }
  });
  return static_cast<int64_t>(ended.size());
}

// ---- Degradation advisory ----------------------------------------------------

void WireServer::degradeTick() {
  if (const auto verdict = advisory_.tick()) setDegraded(*verdict);
}

void WireServer::setDegraded(bool degraded) { setDegradedCause(&WireServer::lagging_, degraded); }

void WireServer::setCaptureDown(bool down) { setDegradedCause(&WireServer::captureDown_, down); }

// The flag is written and read under clientsMutex_, like the client count, so
// one Advisory always carries a pair that held at one moment.
void WireServer::setDegradedCause(bool WireServer::*cause, bool on) {
  bool changed;
  {
    std::lock_guard lock(clientsMutex_);
    this->*cause = on;
    changed = advisory_.setDegraded(lagging_ || captureDown_);
  }
  if (changed) broadcastAdvisory();
}

void WireServer::broadcastAdvisory() {
  std::vector<std::shared_ptr<ClientConn>> list;
  SharedPacket packet;
  {
    std::lock_guard lock(clientsMutex_);
    for (auto& [fd, conn] : clients_) list.push_back(conn);
    packet = advisory_.packet(static_cast<int64_t>(list.size()));
  }
  // Ahead of the frames queued for a slow client: the advisory tells it of
  // that very backlog.
  for (auto& conn : list) conn->enqueueUrgentControl(packet);
}

void WireServer::resetDegradation() {
  if (advisory_.reset()) setDegraded(false);
}

// ---- Version report and gate -------------------------------------------------

void WireServer::setVersionVerdict(int64_t floor, HostUpdate hostUpdate, const std::string& updateVersion) {
  if (!versionGate_.setVerdict(floor, hostUpdate, updateVersion)) return;
  auto packet = versionGate_.reportPacket();
  if (!packet) return;
  const SharedPacket shared = sharePacket(std::move(*packet));
  const auto list = clientList();
  for (auto& conn : list) conn->enqueueControl(shared);
  const std::string name = hostUpdate == HostUpdate::none ? std::string() : updateVersion;
  event("PeerVersion 0x20 verdict: floor " + std::to_string(floor) + ", host update " +
        std::to_string(static_cast<int>(hostUpdate)) + (name.empty() ? "" : " (" + name + ")") + " → " +
        std::to_string(list.size()) + " client(s)");
}

std::optional<PeerVersion> WireServer::peerVersion(int32_t fd) const {
  std::shared_ptr<ClientConn> conn;
  {
    std::lock_guard lock(clientsMutex_);
    auto it = clients_.find(fd);
    if (it == clients_.end()) return std::nullopt;
    conn = it->second;
  }
  std::lock_guard lock(conn->mutex);
  return conn->peerVersion;
}

void WireServer::armVersionJudge(const std::shared_ptr<ClientConn>& conn) {
  std::weak_ptr<WireServer> weakServer = weak_from_this();
  std::weak_ptr<ClientConn> weakConn = conn;
  const uint64_t delay = static_cast<uint64_t>(std::max<int64_t>(config_.versionJudgeDelayMs, 0)) * kNsPerMs;
  timerQueue_.asyncAfter(delay, [weakServer, weakConn] {
    auto self = weakServer.lock();
    auto c = weakConn.lock();
    // The timer queue, shared with the degradation ticks, must live on
    // whatever the judgment meets (it guards the owner's callback itself).
    if (!self || !c || self->stopped_) return;
    try {
      self->judgeVersion(c);
    } catch (...) {
    }
  });
}

bool WireServer::judgeVersion(const std::shared_ptr<ClientConn>& conn) {
  using Kind = HostVersionGate::Decision::Kind;
  const auto decision = versionGate_.judgeClient(*conn);
  if (!decision.first || decision.kind == Kind::admitted) return decision.kind != Kind::refused;
  const int64_t floor = decision.floor;
  if (decision.kind == Kind::belowFloor) {
    event("client " + fdTag(conn->fd) + " is level " + std::to_string(decision.level) + ", below the floor " +
          std::to_string(floor) + " — it shows its own update screen");
    return true;
  }
  const std::string& deviceName = decision.deviceName;
  {
    std::lock_guard lock(clientsMutex_);
    auto it = clients_.find(conn->fd);
    if (it == clients_.end() || it->second != conn) return false;
    clients_.erase(it);
  }
  event("client " + fdTag(conn->fd) + " sent no PeerVersion 0x20 and the client floor is " + std::to_string(floor) +
        " — owner told to update the app, session ended");
  if (hooks_.onClientMustUpdate) {
    try {
      hooks_.onClientMustUpdate(deviceName.empty() ? std::nullopt : std::optional<std::string>(deviceName));
    } catch (const std::exception& e) {
      event("onClientMustUpdate failed (" + std::string(e.what()) + ") " + fdTag(conn->fd));
    } catch (...) {
      event("onClientMustUpdate failed " + fdTag(conn->fd));
    }
  }
  // The Bye is not waited for here: this runs on the timer queue that also
  // carries the degradation ticks. The write thread shuts the sending side once
  // the Bye is out and the read loop reads on until the client closes; a stuck
  // writer or a client that stays is cut off after the wait.
  conn->closeSending(sharePacket(Wire::bye()));
  std::weak_ptr<ClientConn> weakConn = conn;
  timerQueue_.asyncAfter(config_.refusedByeWaitNs, [weakConn] {
    if (auto c = weakConn.lock()) c->shutdownIfOpen(SHUT_RDWR);
  });
  return false;
}

}  // namespace lumenrail
