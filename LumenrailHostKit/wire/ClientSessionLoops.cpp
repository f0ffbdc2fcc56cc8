// The serving stage of one session: its read loop with the dispatch of what
// the client sends, and its write loop.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/ByteOrder.hpp"
#include "platform/Socket.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "wire/ClientSession.hpp"
#include "wire/ClientWishes.hpp"
#include "wire/LinkBudget.hpp"
#include "wire/PlaintextReader.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

bool ClientSession::awaitFirstRecord(PlaintextReader& reader, std::optional<Crypto::Sha256Digest>& firstRecord) {
  const auto& config = server_.config_;
  bool timedOut = false;
  if (reader.awaitFirstRecord(arrivedNs_ + config.firstRecordTimeoutNs, config.nowNs, kFirstRecordSliceNs,
                              server_.stopped_, timedOut)) {
    firstRecord = reader.firstRecord();
    return true;
  }
  if (timedOut) {
    server_.preSessionEvent("no sealed record within " + std::to_string(config.firstRecordTimeoutNs / kNsPerMs) +
                            " ms — dropping client " + fdTag(fd_));
  }
  return false;
}

void ClientSession::readLoop(const std::shared_ptr<ClientConn>& conn, PlaintextReader& reader) {
  uint8_t header[Wire::headerSize];
  Bytes payload;
  for (;;) {
    {
      // A session that was said goodbye to (stop(), disconnect() or a version
      // refusal) no longer acts on what the client sends; it reads on only to
      // see the client leave. Until stop(), not until the listener closes: a
      // server that only adopts connections (the USB bridge's) never listens.
      std::lock_guard lock(conn->mutex);
      if (conn->closed || server_.stopped_) break;
    }
    if (!reader.readFully(header, sizeof header)) return;
    const uint32_t length = ByteOrder::readLE32(ByteView(header, sizeof header), 1);
    if (length > kMaxClientPayload) {
      char type[4];
      std::snprintf(type, sizeof type, "%02x", header[0]);
      server_.event("client packet too large (" + std::to_string(length) + " bytes, type 0x" + type +
                    ") — dropping client " + fdTag(conn->fd));
      return;
    }
    // The payload grows as its bytes arrive: a header alone holds no memory.
    payload.clear();
    for (size_t have = 0; have < length;) {
      const size_t step = std::min<size_t>(length - have, kPayloadStep);
      payload.resize(have + step);
      if (!reader.readFully(payload.data() + have, step)) return;
      have += step;
    }
    {
      std::lock_guard lock(conn->mutex);
      if (conn->closed) continue;
    }
    dispatch(conn, header[0], payload);
    if (payload.capacity() > kPayloadStep) Bytes().swap(payload);  // a large packet's room is not kept
  }
  // Closing over unread bytes would reset the link, and a reset can take the
  // Bye with it before the client has read it: drop what comes until the
  // client closes, or until whoever said goodbye shuts the socket at its deadline.
  uint8_t scratch[16 * 1024];
  while (Socket::recvSome(conn->fd, scratch, sizeof scratch) > 0) {
  }
}

void ClientSession::dispatch(const std::shared_ptr<ClientConn>& conn, uint8_t code, ByteView payload) {
  WireServer& server = server_;
  const auto& hooks = server.hooks_;
  const int fd = conn->fd;
  const auto type = Wire::from<Wire::PacketType>(code);
  if (!type) return;
  switch (*type) {
    case Wire::PacketType::requestIdr:
      server.keyframeAsked(fd);
      clientEvent(*conn, "RequestIdr ← client");
      break;
    case Wire::PacketType::timeSync:
      if (payload.size() >= 8) {
        conn->enqueueInterleave(
            sharePacket(Wire::timeSyncReply(ByteOrder::readLE64(payload, 0), server.config_.nowNs())));
      }
      break;
    case Wire::PacketType::requestHello:
      // The keyframe is asked for first: once the Hello is out, the request stands.
      server.keyframeAsked(fd);
      server.queueHelloAndVersion(*conn);
      clientEvent(*conn, "RequestHello ← client (resent Hello + IDR)");
      break;
    case Wire::PacketType::input:
      if (auto samples = Wire::parseInput(payload)) {
        if (hooks.onInput) hooks.onInput(*samples, fd);
      }
      break;
    case Wire::PacketType::inputCaps:
      if (auto caps = Wire::parseInputCaps(payload)) {
        char axes[16];
        std::snprintf(axes, sizeof axes, "%x", caps->axisMask);
        clientEvent(*conn, std::string("InputCaps ← client: axes 0x") + axes + ", pressureMax " +
                               std::to_string(caps->pressureMax) + ", contacts " + std::to_string(caps->maxContacts));
        if (hooks.onInputCaps) hooks.onInputCaps(*caps, fd);
      }
      break;
    case Wire::PacketType::clientMode: {
      if (!server.judgeVersion(conn)) break;
      if (auto mode = Wire::parseClientMode(payload)) {
        clientEvent(*conn, "ClientMode ← client " + fdTag(fd) + ": " + std::to_string(mode->width) + "x" +
                               std::to_string(mode->height) + "@" + std::to_string(mode->refreshHz));
        if (hooks.onClientMode) hooks.onClientMode(*mode, fd);
      }
      break;
    }
    case Wire::PacketType::clientInfo:
      handleClientInfo(*conn, payload);
      break;
    case Wire::PacketType::clientCaps:
      handleClientCaps(*conn, payload);
      break;
    case Wire::PacketType::keyCombo:
      if (auto chord = Wire::parseKeyCombo(payload)) {
        if (hooks.onKeyCombo) hooks.onKeyCombo(*chord, fd);
      }
      break;
    case Wire::PacketType::viewport:
      handleViewport(*conn, payload);
      break;
    case Wire::PacketType::encoderConfig:
      handleEncoderConfig(*conn, payload);
      break;
    case Wire::PacketType::peerVersion:
      handlePeerVersion(*conn, payload);
      break;
    default:
      break;  // host-to-client codes from a client are skipped like unknown ones
  }
}

void ClientSession::handleClientCaps(ClientConn& conn, ByteView payload) {
  const auto bits = Wire::parseClientCaps(payload);
  if (!bits) return;
  const auto& hooks = server_.hooks_;
  const auto update = ClientWishes::recordCaps(conn, *bits, server_.forceAacAudio());
  clientEvent(conn, update.line);
  if (hooks.onAudioWantedChanged) hooks.onAudioWantedChanged(server_.audioWanted());
  if (update.hevcChanged && hooks.onHevcWantedChanged) hooks.onHevcWantedChanged(server_.hevcWanted());
}

void ClientSession::handleClientInfo(ClientConn& conn, ByteView payload) {
  const auto& hooks = server_.hooks_;
  const std::string name = Wire::parseClientInfo(payload);
  {
    std::lock_guard lock(conn.mutex);
    conn.deviceName = name;
  }
  clientEvent(conn, "ClientInfo ← client " + fdTag(conn.fd) + ": " + (name.empty() ? std::string("<empty>") : name));
  if (hooks.onClientInfo) hooks.onClientInfo(name);
  if (!conn.announced) {
    conn.announced = true;
    if (hooks.onClientNamed) hooks.onClientNamed(name, conn.overNetwork);
  }
}

void ClientSession::handleViewport(ClientConn& conn, ByteView payload) {
  const auto viewport = Wire::parseViewport(payload);
  if (!viewport) return;
  const bool wasFull = server_.storeViewport(*viewport);
  const bool nowFull = viewport->isFull();
  if (wasFull == nowFull) return;
  if (nowFull) {
    clientEvent(conn, "Viewport 0x17 ← client " + fdTag(conn.fd) + ": reset to full frame");
  } else {
    clientEvent(conn, "Viewport 0x17 ← client " + fdTag(conn.fd) + ": zoom engaged → crop (" +
                          std::to_string(viewport->x) + "," + std::to_string(viewport->y) + " " +
                          std::to_string(viewport->w) + "×" + std::to_string(viewport->h) + ") Q16");
  }
}

void ClientSession::handleEncoderConfig(ClientConn& conn, ByteView payload) {
  const auto request = Wire::parseEncoderConfig(payload);
  if (!request) return;
  const auto line = ClientWishes::recordEncoderConfig(conn, *request);
  if (!line) return;
  clientEvent(conn, *line);
  if (server_.hooks_.onEncoderConfigChanged) server_.hooks_.onEncoderConfigChanged(server_.resolvedEncoderConfig());
}

void ClientSession::handlePeerVersion(ClientConn& conn, ByteView payload) {
  const auto version = PeerVersion::decode(payload);
  if (!version) {
    clientEvent(conn, "PeerVersion 0x20 ← client " + fdTag(conn.fd) + ": malformed (" +
                          std::to_string(payload.size()) + " bytes), ignored");
    return;
  }
  {
    std::lock_guard lock(conn.mutex);
    conn.peerVersion = *version;
  }
  clientEvent(conn, "peer version: " + version->summary() + " " + fdTag(conn.fd));
}

// The kernel's share of what waits for this client follows what its link
// delivers. A socket that is not TCP (a cable's socket pair) keeps its own.
std::optional<Socket::LinkReading> ClientSession::fitToLink(ClientConn& conn) {
  LinkBudget& budget = budget_;
  int64_t& applied = appliedKernelBytes_;
  const auto reading = Socket::readLink(fd_);
  if (!reading) return std::nullopt;
  // A rate measured while the stream did not fill the link says little of
  // the link (a burst after an idle spell passes the network's own buffers
  // at line rate): only the others count.
  budget.note(server_.config_.nowNs(), reading->appLimited ? 0 : reading->deliveryRateBytesPerSecond,
              reading->minRttUs);
  conn.setLinkRate(budget.rate());
  sendPiece_ = static_cast<size_t>(budget.sendPieceBytes());
  auto bytes = budget.kernelBytes();
  if (!bytes) return reading;
  // A few whole segments whatever the rate: a link of large segments (the
  // loopback's are 64 KiB) that holds fewer waits for delayed acknowledgements.
  bytes = std::max<int64_t>(*bytes, int64_t{WireServer::kSegmentsInFlight} * reading->segmentBytes);
  if (applied != 0 && std::abs(*bytes - applied) * 8 < applied) return reading;  // within an eighth: as it is
  // The send buffer bounds what is unsent and in flight together, the unsent
  // bound what is unsent alone, never above where it started. The kernel
  // doubles the send buffer asked for, for its own bookkeeping.
  Socket::setIntOption(fd_, SOL_SOCKET, SO_SNDBUF, static_cast<int>(*bytes / 2));
  Socket::setIntOption(fd_, IPPROTO_TCP, TCP_NOTSENT_LOWAT,
                       static_cast<int>(std::min<int64_t>(*bytes, WireServer::kUnsentBytesBound)));
  applied = *bytes;
  return reading;
}

// A client that declared chunks just after its first frames were queued (a
// first keyframe comes at once) gets those in chunks too, so nothing urgent
// waits behind a whole large frame.
void ClientSession::chunkIfAsked(ClientConn& conn, ClientConn::Work& work) {
  if (work.packets.size() != 1 || work.packets[0]->empty()) return;
  const Bytes& packet = *work.packets[0];
  if (packet[0] != static_cast<uint8_t>(Wire::PacketType::frame)) return;
  {
    std::lock_guard lock(conn.mutex);
    if (!conn.wantsFrameChunk) return;
  }
  std::vector<SharedPacket> chunks;
  for (auto& chunk : Wire::frameChunks(work.frameId, ByteView(packet).subspan(Wire::headerSize))) {
    chunks.push_back(sharePacket(std::move(chunk)));
  }
  work.packets = std::move(chunks);
}

bool ClientSession::sendEntry(ClientConn& conn, const ClientConn::Work& work, bool& whole) {
  WifiRecordSealer* sealer = sealer_.get();
  whole = true;
  for (size_t i = 0; i < work.packets.size(); ++i) {
    if (i > 0) {
      if (conn.isClosed()) {
        whole = false;  // the rest of the frame's chunks would only delay the Bye behind them
        return true;
      }
      fitToLink(conn);  // a large frame teaches the link's rate while it goes
      // Urgent packets (time-sync replies) slip between a large frame's chunks.
      for (const auto& urgent : conn.takeInterleave()) {
        if (!sendPacket(*urgent, sealer)) return false;
      }
    }
    if (!sendPacket(*work.packets[i], sealer)) return false;
  }
  return true;
}

void ClientSession::writeLoop(const std::shared_ptr<ClientConn>& conn) {
  const auto& config = server_.config_;
  WifiRecordSealer* sealer = sealer_.get();
  bool failed = false;
  while (!failed) {
    auto work = conn->nextWork();
    if (!work) break;
    if (work->batch) {
      for (const auto& p : work->packets) {
        if (!sendPacket(*p, sealer)) {
          failed = true;
          break;
        }
      }
      continue;
    }
    const uint64_t dequeuedNs = config.nowNs();
    if (work->frame) {
      const auto reading = fitToLink(*conn);
      const uint64_t age = dequeuedNs > work->captureNs ? dequeuedNs - work->captureNs : 0;
      if (reading && !work->keyframe && budget_.arrivesLate(age, reading->queuedBytes, work->bytes)) {
        conn->dropTakenFrame();
        continue;
      }
    }
    if (work->frame) chunkIfAsked(*conn, *work);
    bool whole = true;
    failed = !sendEntry(*conn, *work, whole);
    if (!failed && whole && work->captureNs != 0 && config.stallProbe) {
      config.stallProbe->noteSent(fd_, work->captureNs, work->enqueuedNs, dequeuedNs);
    }
  }
  if (config.stallProbe) config.stallProbe->flush(fd_);
  if (failed) {
    {
      std::lock_guard lock(conn->mutex);
      conn->sendFailed = true;
    }
    const std::string line = "send to client failed " + fdTag(fd_) + " — closing the session";
    // Before its proof a link may be anyone's, aged out for a newcomer.
    stage() < Stage::proven ? server_.preSessionEvent(line) : server_.event(line);
    conn->shutdownIfOpen(SHUT_RDWR);
  } else {
    bool saidBye;
    {
      std::lock_guard lock(conn->mutex);
      saidBye = conn->byeQueued;
    }
    // The Bye was the last packet: only the sending side closes behind it, so
    // the client reads it and then the end of the stream.
    if (saidBye) conn->shutdownIfOpen(SHUT_WR);
  }
  conn->drained.signal();
  conn->finished.signal();
}

bool ClientSession::sendPacket(ByteView packet, WifiRecordSealer* sealer) {
  if (!sealer) return Socket::sendAll(fd_, packet, sendPiece_);
  try {
    const Bytes record = sealer->seal(packet);
    return Socket::sendAll(fd_, record, sendPiece_);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace lumenrail
