// Fan-out to the client queues, the server-wide stream state, the merged
// client wishes, the degradation advisory and the version gate.
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>

#include "platform/Utf8.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {

std::string fdTag(int fd) { return "(fd " + std::to_string(fd) + ")"; }

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

constexpr uint64_t kByeDrainNs = 500 * kNsPerMs;

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
  uint32_t frameId;
  {
    std::lock_guard lock(frameIdMutex_);
    frameId = ++frameIdCounter_;  // wraps at 2^32
  }
  // Built at most once each, on the first client that needs that form, and
  // straight from the access unit: its bytes are copied once per form.
  std::vector<SharedPacket> whole;
  std::vector<SharedPacket> chunks;
  int64_t evicted = 0;
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
    evicted += conn->enqueueFrame(packets, keyframe, captureTicks, lane);
  }
  if (evicted > 0) {
    {
      std::lock_guard lock(degradeMutex_);
      evictedThisSecond_ += evicted;
    }
    setIdrPending();
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
  setIdrPending();
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
    auto version = hostPeerVersionPacket();
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
  setIdrPending();
  if (!hello) {
    event("small lane removed → fd " + fdList(changed) + " back on the main stream");
  } else {
    event("small lane " + helloLabel(*hello) + " → fd " + fdList(changed));
  }
}

bool WireServer::takeIdrRequest() {
  std::lock_guard lock(idrMutex_);
  return std::exchange(idrPending_, false);
}

Wire::ViewportRectQ16 WireServer::desiredViewport() const {
  std::lock_guard lock(viewportMutex_);
  return desiredViewport_;
}

void WireServer::resetViewport() {
  std::lock_guard lock(viewportMutex_);
  desiredViewport_ = Wire::ViewportRectQ16::full();
}

// ---- Per-client updates from the read loop ----------------------------------

void WireServer::handleClientCaps(ClientConn& conn, ByteView payload) {
  const auto bits = Wire::parseClientCaps(payload);
  if (!bits) return;
  const bool hevc = *bits & Wire::ClientFeature::hevc;
  const bool audio = *bits & Wire::ClientFeature::audio;
  const bool pcm = (*bits & Wire::ClientFeature::audioPcm) && !forceAacAudio();
  bool hevcChanged;
  {
    std::lock_guard lock(conn.mutex);
    hevcChanged = hevc != conn.wantsHevc || !conn.capsDeclared;
    conn.wantsAudio = audio;
    conn.wantsAudioPcm = pcm;
    conn.wantsHevc = hevc;
    conn.wantsFrameChunk = *bits & Wire::ClientFeature::frameChunk;
    conn.capsDeclared = true;
  }
  char hexBits[16];
  std::snprintf(hexBits, sizeof hexBits, "%x", *bits);
  std::vector<std::string> words;
  if (audio) words.push_back(pcm ? "audio:pcm" : "audio:aac");
  if (hevc) words.push_back("hevc");
  if (*bits & Wire::ClientFeature::frameChunk) words.push_back("chunk");
  std::string line = std::string("ClientCaps ← client: 0x") + hexBits;
  if (!words.empty()) {
    line += " (";
    for (size_t i = 0; i < words.size(); ++i) line += (i ? "," : "") + words[i];
    line += ")";
  }
  event(line);
  if (onAudioWantedChanged) onAudioWantedChanged(audioWanted());
  if (hevcChanged && onHevcWantedChanged) onHevcWantedChanged(hevcWanted());
}

void WireServer::handleClientInfo(ClientConn& conn, ByteView payload) {
  const std::string name = Wire::parseClientInfo(payload);
  {
    std::lock_guard lock(conn.mutex);
    conn.deviceName = name;
  }
  event("ClientInfo ← client " + fdTag(conn.fd) + ": " + (name.empty() ? std::string("<empty>") : name));
  if (onClientInfo) onClientInfo(name);
  if (!conn.announced) {
    conn.announced = true;
    if (onClientNamed) onClientNamed(name, !conn.cable);
  }
}

void WireServer::handleViewport(ClientConn& conn, ByteView payload) {
  const auto viewport = Wire::parseViewport(payload);
  if (!viewport) return;
  bool wasFull;
  {
    std::lock_guard lock(viewportMutex_);
    wasFull = desiredViewport_.isFull();
    desiredViewport_ = *viewport;
  }
  const bool nowFull = viewport->isFull();
  if (wasFull == nowFull) return;
  if (nowFull) {
    event("Viewport 0x17 ← client " + fdTag(conn.fd) + ": reset to full frame");
  } else {
    event("Viewport 0x17 ← client " + fdTag(conn.fd) + ": zoom engaged → crop (" + std::to_string(viewport->x) + "," +
          std::to_string(viewport->y) + " " + std::to_string(viewport->w) + "×" + std::to_string(viewport->h) +
          ") Q16");
  }
}

void WireServer::handleEncoderConfig(ClientConn& conn, ByteView payload) {
  const auto request = Wire::parseEncoderConfig(payload);
  if (!request) return;
  {
    std::lock_guard lock(conn.mutex);
    if (conn.encoderConfig == *request) return;
    conn.encoderConfig = *request;
  }
  std::vector<std::string> parts;
  if (request->hasQuality()) {
    char q[32];
    std::snprintf(q, sizeof q, "quality %.2f", static_cast<double>(request->quality));
    parts.emplace_back(q);
  }
  if (request->hasFpsCap()) parts.push_back("fps≤" + std::to_string(request->fpsCap));
  if (request->hasBitrate()) parts.push_back(std::to_string(request->bitrateKbps) + " kbps");
  std::string text;
  for (size_t i = 0; i < parts.size(); ++i) text += (i ? ", " : "") + parts[i];
  event("EncoderConfig 0x1C ← client " + fdTag(conn.fd) + ": " + (text.empty() ? std::string("nothing") : text));
  if (onEncoderConfigChanged) onEncoderConfigChanged(resolvedEncoderConfig());
}

void WireServer::handlePeerVersion(ClientConn& conn, ByteView payload) {
  const auto version = PeerVersion::decode(payload);
  if (!version) {
    event("PeerVersion 0x20 ← client " + fdTag(conn.fd) + ": malformed (" + std::to_string(payload.size()) +
          " bytes), ignored");
    return;
  }
  {
    std::lock_guard lock(conn.mutex);
    conn.peerVersion = *version;
  }
  event("peer version: " + version->summary() + " " + fdTag(conn.fd));
}

// ---- Merged wishes -----------------------------------------------------------

bool WireServer::audioWanted() const {
  std::lock_guard lock(clientsMutex_);
  return std::any_of(clients_.begin(), clients_.end(), [](const auto& kv) {
    std::lock_guard c(kv.second->mutex);
    return kv.second->wantsAudio;
  });
}

bool WireServer::audioPcmWanted() const {
  std::lock_guard lock(clientsMutex_);
  return std::any_of(clients_.begin(), clients_.end(), [](const auto& kv) {
    std::lock_guard c(kv.second->mutex);
    return kv.second->wantsAudio && kv.second->wantsAudioPcm;
  });
}

bool WireServer::audioAacWanted() const {
  std::lock_guard lock(clientsMutex_);
  return std::any_of(clients_.begin(), clients_.end(), [](const auto& kv) {
    std::lock_guard c(kv.second->mutex);
    return kv.second->wantsAudio && !kv.second->wantsAudioPcm;
  });
}

bool WireServer::hevcWanted() const {
  std::lock_guard lock(clientsMutex_);
  bool anyDeclared = false;
  for (const auto& [fd, conn] : clients_) {
    std::lock_guard c(conn->mutex);
    if (!conn->capsDeclared) continue;
    anyDeclared = true;
    if (!conn->wantsHevc) return false;
  }
  return anyDeclared;
}

Wire::EncoderConfigRequest WireServer::resolvedEncoderConfig() const {
  Wire::EncoderConfigRequest merged = Wire::EncoderConfigRequest::none();
  std::lock_guard lock(clientsMutex_);
  for (const auto& [fd, conn] : clients_) {
    std::lock_guard c(conn->mutex);
    const auto& r = conn->encoderConfig;
    if (r.hasQuality()) {
      merged.quality = merged.hasQuality() ? std::max(merged.quality, r.quality) : r.quality;
    }
    if (r.hasFpsCap()) merged.fpsCap = merged.hasFpsCap() ? std::max(merged.fpsCap, r.fpsCap) : r.fpsCap;
    if (r.hasBitrate()) {
      merged.bitrateKbps = merged.hasBitrate() ? std::max(merged.bitrateKbps, r.bitrateKbps) : r.bitrateKbps;
    }
    merged.fields |= r.fields & Wire::EncoderField::all;
  }
  return merged;
}

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
  for (auto& conn : ended) conn->drained.waitFor(kByeDrainNs);
  for (auto& conn : ended) conn->shutdownIfOpen(SHUT_RDWR);
  return static_cast<int64_t>(ended.size());
}

// ---- Degradation advisory ----------------------------------------------------

void WireServer::degradeTick() {
  int64_t n;
  std::optional<bool> verdict;
  {
    std::lock_guard lock(degradeMutex_);
    n = std::exchange(evictedThisSecond_, 0);
    verdict = degradePolicy_.tick(n);
  }
  if (!verdict) return;
  if (*verdict) {
    event("ADVISORY: encode/latency degradation detected (" + std::to_string(n) + " frame(s)/s evicted for " +
          std::to_string(DegradationPolicy::onSeconds) + "s) — flags bit1 set");
  } else {
    event("ADVISORY: encode/latency recovered — flags bit1 cleared");
  }
  setDegraded(*verdict);
}

void WireServer::setDegraded(bool degraded) {
  bool changed;
  {
    std::lock_guard lock(clientsMutex_);
    changed = encodeDegraded_ != degraded;
    encodeDegraded_ = degraded;
  }
  if (changed) broadcastAdvisory();
}

bool WireServer::encodeDegraded() const {
  std::lock_guard lock(clientsMutex_);
  return encodeDegraded_;
}

void WireServer::broadcastAdvisory() {
  std::vector<std::shared_ptr<ClientConn>> list;
  bool degraded;
  {
    std::lock_guard lock(clientsMutex_);
    degraded = encodeDegraded_;
    for (auto& [fd, conn] : clients_) list.push_back(conn);
  }
  const auto count = static_cast<int64_t>(list.size());
  uint8_t flags = 0;
  if (count > 2) flags |= Wire::AdvisoryFlag::count;
  if (degraded) flags |= Wire::AdvisoryFlag::degraded;
  const SharedPacket packet = sharePacket(
      Wire::advisory(count, DegradationPolicy::onSeconds, DegradationPolicy::coalescedPerSecond, flags));
  for (auto& conn : list) conn->enqueueControl(packet);
}

void WireServer::resetDegradation() {
  bool wasDegraded;
  {
    std::lock_guard lock(degradeMutex_);
    evictedThisSecond_ = 0;
    wasDegraded = degradePolicy_.reset();
  }
  if (!wasDegraded) return;
  event("ADVISORY: degradation state reset (no clients) — flags bit1 cleared");
  setDegraded(false);
}

// ---- Version report and gate -------------------------------------------------

std::optional<Bytes> WireServer::hostPeerVersionPacket() {
  if (!hostAppVersion) return std::nullopt;
  PeerVersion v;
  v.wireLevel = HostVersionGate::hostWireLevel;
  v.platform = PeerPlatform::macos;  // clients expect the code they know
  v.version = *hostAppVersion;
  std::lock_guard lock(helloMutex_);
  v.minClientLevel = versionFloor_;
  v.hostUpdate = versionUpdate_;
  v.updateVersion = versionUpdateName_;
  return v.encode(true);
}

void WireServer::setVersionVerdict(int64_t floor, HostUpdate hostUpdate, const std::string& updateVersion) {
  const std::string name = hostUpdate == HostUpdate::none ? std::string() : updateVersion;
  {
    std::lock_guard lock(helloMutex_);
    const bool changed = floor != versionFloor_ || hostUpdate != versionUpdate_ || name != versionUpdateName_;
    versionFloor_ = floor;
    versionUpdate_ = hostUpdate;
    versionUpdateName_ = name;
    if (!changed) return;
  }
  auto packet = hostPeerVersionPacket();
  if (!packet) return;
  const SharedPacket shared = sharePacket(std::move(*packet));
  const auto list = clientList();
  for (auto& conn : list) conn->enqueueControl(shared);
  event("PeerVersion 0x20 verdict: floor " + std::to_string(floor) + ", host update " +
        std::to_string(static_cast<int>(hostUpdate)) + (name.empty() ? "" : " (" + name + ")") + " → " +
        std::to_string(list.size()) + " client(s)");
}

int64_t WireServer::clientFloor() const {
  std::lock_guard lock(helloMutex_);
  return versionFloor_;
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
  const uint64_t delay = static_cast<uint64_t>(std::max<int64_t>(versionJudgeDelayMs, 0)) * kNsPerMs;
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
  const int64_t floor = clientFloor();
  std::string deviceName;
  int64_t level = 0;
  bool refuse;
  {
    // Decided and recorded in one step: a ClientMode on the connection thread
    // and the timer can never both judge, nor see a half-made verdict.
    std::lock_guard lock(conn->mutex);
    if (conn->versionJudged) return !conn->versionRefused;
    conn->versionJudged = true;
    const auto verdict = HostVersionGate::judge(conn->peerVersion, floor);
    if (verdict == HostVersionGate::ClientVerdict::ok) return true;
    refuse = verdict == HostVersionGate::ClientVerdict::hostEndsSession;
    if (refuse) {
      conn->versionRefused = true;
      deviceName = conn->deviceName;
    } else {
      level = conn->peerVersion->wireLevel;
    }
  }
  if (!refuse) {
    event("client " + fdTag(conn->fd) + " is level " + std::to_string(level) + ", below the floor " +
          std::to_string(floor) + " — it shows its own update screen");
    return true;
  }
  {
    std::lock_guard lock(clientsMutex_);
    auto it = clients_.find(conn->fd);
    if (it == clients_.end() || it->second != conn) return false;
    clients_.erase(it);
  }
  event("client " + fdTag(conn->fd) + " sent no PeerVersion 0x20 and the client floor is " + std::to_string(floor) +
        " — owner told to update the app, session ended");
  if (onClientMustUpdate) {
    try {
      onClientMustUpdate(deviceName.empty() ? std::nullopt : std::optional<std::string>(deviceName));
    } catch (const std::exception& e) {
      event("onClientMustUpdate failed (" + std::string(e.what()) + ") " + fdTag(conn->fd));
    } catch (...) {
      event("onClientMustUpdate failed " + fdTag(conn->fd));
    }
  }
  // The Bye is not waited for here: this runs on the timer queue that also
  // carries the degradation ticks. The write thread shuts the socket once the
  // Bye is out (versionRefused); a stuck writer is cut off after the wait.
  conn->closeSending(sharePacket(Wire::bye()));
  std::weak_ptr<ClientConn> weakConn = conn;
  timerQueue_.asyncAfter(refusedByeWaitNs, [weakConn] {
    if (auto c = weakConn.lock()) c->shutdownIfOpen(SHUT_RDWR);
  });
  return false;
}

}  // namespace lumenrail
