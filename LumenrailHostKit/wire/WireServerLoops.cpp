// The read and write loops of one session and the read loop's dispatch.
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include <cstdio>

#include "platform/ByteOrder.hpp"
#include "platform/Socket.hpp"
#include "secure/WifiRecordOpener.hpp"
#include "secure/WifiRecordSealer.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {
constexpr size_t kPayloadStep = 64 * 1024;
}  // namespace

// Exact-length reads of one session's plaintext stream, opening records on
// an encrypted link. Keeps a read offset so many small records stay linear.
class WireServer::PlaintextReader {
 public:
  PlaintextReader(int fd, WifiRecordOpener* opener, WireServer& server)
      : fd_(fd), opener_(opener), server_(server) {
    if (opener_) raw_.resize(65536);
  }

  bool readFully(uint8_t* out, size_t n) {
    if (!opener_) return n == 0 || Socket::recvAll(fd_, out, n);
    while (plain_.size() - pos_ < n) {
      if (!receive()) return false;
    }
    std::copy_n(plain_.begin() + static_cast<ptrdiff_t>(pos_), n, out);
    pos_ += n;
    if (pos_ == plain_.size()) {
      plain_.clear();
      pos_ = 0;
    }
    return true;
  }

  // Polls in slices so that stop() and a deadline on the injected clock are
  // both noticed while the peer sends nothing.
  bool awaitFirstRecord(uint64_t deadlineNs, bool& timedOut) {
    while (opener_->recordsOpened() == 0) {
      const uint64_t now = server_.config_.nowNs();
      if (now >= deadlineNs) {
        timedOut = true;
        return false;
      }
      if (server_.stopped_) return false;
      pollfd p{fd_, POLLIN, 0};
      const uint64_t slice = std::min<uint64_t>(deadlineNs - now, 250 * kNsPerMs);
      const int ready = ::poll(&p, 1, static_cast<int>((slice + kNsPerMs - 1) / kNsPerMs));
      if (ready < 0 && errno != EINTR) return false;
      if (ready > 0 && !receive()) return false;
    }
    if (opener_->recordsOpened() == 1) firstRecord_ = Crypto::sha256(ByteView(plain_).subspan(pos_));
    return true;
  }

  // The plaintext of the first record when it opened alone: a replay of a
  // recorded first record opens to the same.
  const std::optional<Crypto::Sha256Digest>& firstRecord() const { return firstRecord_; }

 private:
  // One recv, and the plaintext of every record it completes.
  bool receive() {
    const ssize_t got = Socket::recvSome(fd_, raw_.data(), raw_.size());
    if (got <= 0) return false;
    Bytes opened;
    try {
      opened = opener_->push(ByteView(raw_.data(), static_cast<size_t>(got)));
    } catch (const std::exception& e) {
      const std::string line = "encrypted record rejected (" + std::string(e.what()) + ") — dropping client " + fdTag(fd_);
      // Before a record has opened, anyone can send junk.
      opener_->recordsOpened() == 0 ? server_.preSessionEvent(line) : server_.event(line);
      return false;
    }
    if (pos_ > 0) {
      plain_.erase(plain_.begin(), plain_.begin() + static_cast<ptrdiff_t>(pos_));
      pos_ = 0;
    }
    plain_.insert(plain_.end(), opened.begin(), opened.end());
    return true;
  }

  int fd_;
  WifiRecordOpener* opener_;
  WireServer& server_;
  Bytes plain_;
  size_t pos_ = 0;
  Bytes raw_;
  std::optional<Crypto::Sha256Digest> firstRecord_;
};

std::shared_ptr<WireServer::PlaintextReader> WireServer::makeReader(int fd, WifiRecordOpener* opener) {
  return std::make_shared<PlaintextReader>(fd, opener, *this);
}

bool WireServer::awaitFirstRecord(PlaintextReader& reader, int fd, uint64_t arrivedNs,
                                  std::optional<Crypto::Sha256Digest>& firstRecord) {
  bool timedOut = false;
  if (reader.awaitFirstRecord(arrivedNs + config_.firstRecordTimeoutNs, timedOut)) {
    firstRecord = reader.firstRecord();
    return true;
  }
  if (timedOut) {
    preSessionEvent("no sealed record within " + std::to_string(config_.firstRecordTimeoutNs / kNsPerMs) +
          " ms — dropping client " + fdTag(fd));
  }
  return false;
}

void WireServer::readLoop(const std::shared_ptr<ClientConn>& conn, PlaintextReader& reader) {
  uint8_t header[Wire::headerSize];
  Bytes payload;
  for (;;) {
    {
      // A session that was said goodbye to (stop(), disconnect() or a version
      // refusal) no longer acts on what the client sends; it reads on only to
      // see the client leave. Until stop(), not until the listener closes: a
      // server that only adopts connections (the USB bridge's) never listens.
      std::lock_guard lock(conn->mutex);
      if (conn->closed || stopped_) break;
    }
    if (!reader.readFully(header, sizeof header)) return;
    const uint32_t length = ByteOrder::readLE32(ByteView(header, sizeof header), 1);
    if (length > kMaxClientPayload) {
      event("client packet too large (" + std::to_string(length) + " bytes, type 0x" +
            [&] {
              char b[4];
              std::snprintf(b, sizeof b, "%02x", header[0]);
              return std::string(b);
            }() +
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

void WireServer::dispatch(const std::shared_ptr<ClientConn>& conn, uint8_t code, ByteView payload) {
  const int fd = conn->fd;
  const auto type = Wire::from<Wire::PacketType>(code);
  if (!type) return;
  switch (*type) {
    case Wire::PacketType::requestIdr:
      keyframes_.ask(fd, config_.nowNs());
      clientEvent(*conn, "RequestIdr ← client");
      break;
    case Wire::PacketType::timeSync:
      if (payload.size() >= 8) {
        conn->enqueueInterleave(sharePacket(Wire::timeSyncReply(ByteOrder::readLE64(payload, 0), config_.nowNs())));
      }
      break;
    case Wire::PacketType::requestHello:
      // The keyframe is asked for first: once the Hello is out, the request stands.
      keyframes_.ask(fd, config_.nowNs());
      queueHelloAndVersion(*conn);
      clientEvent(*conn, "RequestHello ← client (resent Hello + IDR)");
      break;
    case Wire::PacketType::input:
      if (auto samples = Wire::parseInput(payload)) {
        if (hooks_.onInput) hooks_.onInput(*samples, fd);
      }
      break;
    case Wire::PacketType::inputCaps:
      if (auto caps = Wire::parseInputCaps(payload)) {
        char axes[16];
        std::snprintf(axes, sizeof axes, "%x", caps->axisMask);
        clientEvent(*conn, std::string("InputCaps ← client: axes 0x") + axes + ", pressureMax " +
              std::to_string(caps->pressureMax) + ", contacts " + std::to_string(caps->maxContacts));
        if (hooks_.onInputCaps) hooks_.onInputCaps(*caps, fd);
      }
      break;
    case Wire::PacketType::clientMode: {
      if (!judgeVersion(conn)) break;
      if (auto mode = Wire::parseClientMode(payload)) {
        clientEvent(*conn, "ClientMode ← client " + fdTag(fd) + ": " + std::to_string(mode->width) + "x" +
              std::to_string(mode->height) + "@" + std::to_string(mode->refreshHz));
        if (hooks_.onClientMode) hooks_.onClientMode(*mode, fd);
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
        if (hooks_.onKeyCombo) hooks_.onKeyCombo(*chord, fd);
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

void WireServer::writeLoop(const std::shared_ptr<ClientConn>& conn, WifiRecordSealer* sealer) {
  const int fd = conn->fd;
  bool failed = false;
  while (!failed) {
    auto work = conn->nextWork();
    if (!work) break;
    if (work->batch) {
      for (const auto& p : work->packets) {
        if (!sendPacket(fd, *p, sealer)) {
          failed = true;
          break;
        }
      }
      continue;
    }
    const uint64_t dequeuedNs = config_.nowNs();
    for (size_t i = 0; i < work->packets.size() && !failed; ++i) {
      if (i > 0) {
        // Urgent packets (time-sync replies) slip between a large frame's chunks.
        for (const auto& urgent : conn->takeInterleave()) {
          if (!sendPacket(fd, *urgent, sealer)) {
            failed = true;
            break;
          }
        }
        if (failed) break;
      }
      if (!sendPacket(fd, *work->packets[i], sealer)) failed = true;
    }
    if (!failed && work->captureNs != 0 && config_.stallProbe) {
      config_.stallProbe->noteSent(fd, work->captureNs, work->enqueuedNs, dequeuedNs);
    }
  }
  if (config_.stallProbe) config_.stallProbe->flush(fd);
  if (failed) {
    {
      std::lock_guard lock(conn->mutex);
      conn->sendFailed = true;
    }
    event("send to client failed " + fdTag(fd) + " — closing the session");
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

bool WireServer::sendPacket(int fd, ByteView packet, WifiRecordSealer* sealer) {
  if (!sealer) return Socket::sendAll(fd, packet);
  try {
    const Bytes record = sealer->seal(packet);
    return Socket::sendAll(fd, record);
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace lumenrail
