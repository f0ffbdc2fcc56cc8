#include "entry/WireSelfTest.hpp"

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <thread>

#include "entry/HostEntry.hpp"
#include "media/SyntheticFrameSource.hpp"
#include "platform/ByteOrder.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/Socket.hpp"

namespace lumenrail {

namespace {

constexpr int32_t kBitrate = 12'000'000;
constexpr uint64_t kTicksPerSecond = 1'000'000'000;
constexpr const char* kHostVersion = HostEntry::kVersion;

int32_t fitted(int64_t value, const char* what) {
  if (value < 0 || value > std::numeric_limits<int32_t>::max()) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(value) + " is out of range");
  }
  return static_cast<int32_t>(value);
}

std::string upperHex(uint8_t v) {
  char b[4];
  std::snprintf(b, sizeof b, "%02X", v);
  return b;
}

}  // namespace

SyntheticPump startPump(int64_t width, int64_t height, int64_t fps, uint16_t port, int64_t maxFrames,
                        std::function<void(const std::string&)> log, bool loopbackOnly) {
  VideoToolboxEncoder::Config ec;
  ec.width = fitted(width, "width");
  ec.height = fitted(height, "height");
  ec.fps = fitted(fps, "fps");
  ec.bitrateBps = kBitrate;
  ec.codec = Wire::Codec::h264;
  ec.keyframeIntervalSeconds = 1.0;
  auto encoder = std::make_shared<VideoToolboxEncoder>(ec);

  WireServer::Config sc;
  sc.port = port;
  sc.loopbackOnly = loopbackOnly;
  sc.hello.codec = Wire::Codec::h264;
  sc.hello.width = static_cast<uint32_t>(ec.width);
  sc.hello.height = static_cast<uint32_t>(ec.height);
  sc.hello.frameRateNum = static_cast<uint32_t>(ec.fps);
  sc.hello.frameRateDen = 1;
  sc.hello.bitrateBps = kBitrate;
  sc.hello.qpcFrequency = kTicksPerSecond;
  sc.hostAppVersion = kHostVersion;
  auto server = WireServer::create(sc);
  WireServer::Hooks hooks;
  hooks.onEvent = [log](const std::string& line) {
    if (log) log("[wire] " + line);
  };
  const auto keyframes = std::make_shared<KeyframeRequests>();
  WireServer::recordKeyframes(hooks, keyframes, uptimeNs);
  server->setHooks(std::move(hooks));
  std::weak_ptr<WireServer> weakServer = server;
  encoder->sink = [weakServer](const EncodedFrame& frame) {
    if (auto s = weakServer.lock()) s->broadcast(frame.captureTimeNs, frame.isKeyframe, frame.data, Lane::main);
  };

  encoder->start();
  Log::line(std::string("[enc] started, hardware=") + (encoder->usingHardware() ? "true" : "false"));
  server->start();

  auto source = std::make_shared<SyntheticFrameSource>(width, height);
  const auto period = std::chrono::microseconds(1'000'000 / std::max<int64_t>(fps, 1));
  auto stop = std::make_shared<std::atomic<bool>>(false);
  auto thread = std::make_shared<NamedThread>("lumenrail-encode-pump", [encoder, weakServer, keyframes, source,
                                                                         period, maxFrames, stop] {
    PixelBufferRef first = source->makeFrame(0);
    if (!first) return;
    try {
      encoder->encode(first, uptimeNs(), true);
    } catch (const std::exception&) {
      // A failed frame is skipped; the next keyframe request brings the stream back.
    }
    std::this_thread::sleep_for(period);
    if (maxFrames == 1) return;
    for (int64_t index = 1; !stop->load(); ++index) {
      PixelBufferRef buffer = source->makeFrame(index);
      if (!buffer) return;
      auto server = weakServer.lock();
      if (!server) return;
      const bool force = keyframes->take(uptimeNs());
      server.reset();
      try {
        encoder->encode(buffer, uptimeNs(), force);
      } catch (const std::exception&) {
      }
      std::this_thread::sleep_for(period);
      if (maxFrames != 0 && index >= maxFrames - 1) return;
    }
  });
  return {server, encoder, stop, thread};
}

std::unique_ptr<LoopbackClient> LoopbackClient::connect(uint16_t port, int64_t readTimeoutMs) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<LoopbackClient>(new LoopbackClient(fd, std::max<int64_t>(readTimeoutMs, 1)));
}

LoopbackClient::~LoopbackClient() { ::close(fd_); }

// A deadline for the whole packet, not per receive: a stream that trickles
// bytes ends the test as surely as one that stalls.
bool LoopbackClient::readExact(uint8_t* out, size_t size, uint64_t deadlineNs) {
  while (size > 0) {
    const uint64_t now = uptimeNs();
    if (now >= deadlineNs) return false;
    pollfd p{fd_, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>((deadlineNs - now + kNsPerMs - 1) / kNsPerMs));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = Socket::recvSome(fd_, out, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

std::optional<LoopbackClient::Packet> LoopbackClient::readPacket() {
  const uint64_t deadline = uptimeNs() + static_cast<uint64_t>(readTimeoutMs_) * kNsPerMs;
  uint8_t header[Wire::headerSize];
  if (!readExact(header, sizeof header, deadline)) return std::nullopt;
  const uint32_t length = ByteOrder::readLE32(ByteView(header, sizeof header), 1);
  if (length > kMaxPayload) return std::nullopt;
  Packet p;
  p.type = header[0];
  p.payload.resize(length);
  if (length > 0 && !readExact(p.payload.data(), length, deadline)) return std::nullopt;
  return p;
}

void LoopbackClient::sendAll(ByteView bytes) { Socket::sendAll(fd_, bytes); }

int64_t selfTestFrameCount(int64_t fps) { return std::max<int64_t>(fps * 4, 40 + fps * 2); }

namespace {

bool failM1(const std::string& text) {
  Log::line("[m1] FAIL: " + text);
  Log::line("RESULT: M1 FAIL");
  return false;
}

// Frames as the client counts them, with the keyframes among them.
class FrameReader {
 public:
  explicit FrameReader(LoopbackClient& client) : client_(client) {}

  // The next frame's payload; nothing at the end of the stream, after a
  // time-out, or after too many packets of other kinds in a row.
  std::optional<Bytes> next() {
    for (int skipped = 0; skipped <= kMaxSkipped; ++skipped) {
      auto p = client_.readPacket();
      if (!p) return std::nullopt;
      if (p->type != 0x03) continue;
      if (p->payload.size() >= 9 && p->payload[8] == 1) lastKeyframe_ = index_;
      ++index_;
      return std::move(p->payload);
    }
    return std::nullopt;
  }
  // Frames read so far: the number the next frame gets.
  int64_t index() const { return index_; }
  // Number of the latest keyframe read, -1 before the first.
  int64_t lastKeyframe() const { return lastKeyframe_; }

 private:
  // The server sends only a handful of control packets between frames.
  static constexpr int kMaxSkipped = 256;
  LoopbackClient& client_;
  int64_t index_ = 0;
  int64_t lastKeyframe_ = -1;
};

}  // namespace

bool checkWireTestStream(uint16_t port, const WireTestStreamShape& shape, int64_t readTimeoutMs) {
  auto client = LoopbackClient::connect(port, readTimeoutMs);
  if (!client) return failM1("connect refused");

  auto hello = client->readPacket();
  if (!hello) return failM1("no Hello");
  if (hello->type != 0x01) return failM1("first packet not Hello (0x" + upperHex(hello->type) + ")");
  const Bytes& h = hello->payload;
  if (h.size() != 32) return failM1("Hello payload " + std::to_string(h.size()) + " B, want 32 (v2)");
  if (h[0] != 2) return failM1("Hello version " + std::to_string(h[0]) + ", want 2");
  if (h[1] != 0) return failM1("Hello codec " + std::to_string(h[1]) + ", want 0 (H264)");
  const uint32_t w = ByteOrder::readLE32(h, 4);
  const uint32_t ht = ByteOrder::readLE32(h, 8);
  if (w != uint64_t(shape.width) || ht != uint64_t(shape.height)) {
    return failM1("Hello res " + std::to_string(w) + "x" + std::to_string(ht));
  }
  const uint64_t qpc = ByteOrder::readLE64(h, 24);
  if (qpc != kTicksPerSecond) return failM1("Hello qpcFrequency " + std::to_string(qpc) + ", want 1e9");
  Log::line("[m1] Hello OK: v2, " + std::to_string(w) + "x" + std::to_string(ht) + ", qpcFreq=" + std::to_string(qpc));

  FrameReader frames(*client);
  bool firstWasKey = false;
  while (frames.index() < 30) {
    const int64_t number = frames.index();
    auto payload = frames.next();
    if (!payload) return failM1("stream ended at frame " + std::to_string(number));
    if (payload->size() < 13) return failM1("frame " + std::to_string(number) + " has no access unit");
    if (number == 0) firstWasKey = frames.lastKeyframe() == 0;
    if (number == 29) {
      if (!firstWasKey) return failM1("first frame not a keyframe");
      const uint64_t ticks = ByteOrder::readLE64(*payload, 0);
      if (ticks == 0) return failM1("capture ticks unset");
      Log::line("[m1] Frames OK: 30 read, first=keyframe, ticks=" + std::to_string(ticks));
    }
  }

  // The answer must come within half a keyframe interval of the request, and
  // the request goes out only where the regular keyframe is at least that far
  // off: a server that ignored it cannot pass on the regular keyframe.
  const int64_t interval = std::max<int64_t>(shape.keyframeIntervalFrames, 1);
  const int64_t answerWithin = std::max<int64_t>(interval / 2, 1);
  for (int64_t waited = 0; waited < interval * 2; ++waited) {
    if (frames.lastKeyframe() >= 0 && frames.lastKeyframe() + interval >= frames.index() + answerWithin) break;
    const int64_t number = frames.index();
    if (!frames.next()) return failM1("stream ended at frame " + std::to_string(number));
  }
  const int64_t askedAt = frames.index();
  client->sendAll(Bytes{0x05, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
  bool keyframe = false;
  while (!keyframe && frames.index() < askedAt + answerWithin) {
    if (!frames.next()) break;
    keyframe = frames.lastKeyframe() >= askedAt;
  }
  if (!keyframe) {
    return failM1("no keyframe after RequestIdr (none within " + std::to_string(answerWithin) +
                  " frames; the regular one is " + std::to_string(interval) + " frames apart)");
  }
  Log::line("[m1] RequestIdr OK: forced keyframe arrived");

  client->sendAll(Bytes{0x06, 0x08, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01});
  for (int64_t i = 0; i < shape.fps * 4; ++i) {
    auto p = client->readPacket();
    if (!p) break;
    if (p->type != 0x06) continue;
    if (p->payload.size() != 16) break;
    const uint64_t echo = ByteOrder::readLE64(p->payload, 0);
    const uint64_t hostTicks = ByteOrder::readLE64(p->payload, 8);
    if (echo != 0x0123456789ABCDEFULL) return failM1("TimeSync echo mismatch");
    if (hostTicks == 0) return failM1("TimeSync hostTicks unset");
    Log::line("[m1] TimeSync OK: echo matched, hostTicks=" + std::to_string(hostTicks));
    Log::line("RESULT: M1 PASS");
    return true;
  }
  return failM1("no/short TimeSync reply");
}

bool runWireSelfTest(int64_t width, int64_t height, int64_t fps, uint16_t port) {
  SyntheticPump pump;
  try {
    // Its only client is its own, on loopback: nothing on the network may take its frames.
    const auto log = [](const std::string& line) { Log::line(line); };
    pump = startPump(width, height, fps, port, selfTestFrameCount(fps), log, true);
  } catch (const std::exception& e) {
    return failM1("pump start: " + WireServer::startErrorText(e, port));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const WireTestStreamShape shape{width, height, fps, pump.encoder->keyframeIntervalFrames()};
  // The bound port: the same as `port`, or the one chosen when `port` is 0.
  const bool passed = checkWireTestStream(pump.server->boundPort(), shape, LoopbackClient::kReadTimeoutMs);
  *pump.stop = true;
  pump.server->stop();
  return passed;
}

void runSyntheticServe(int64_t width, int64_t height, int64_t fps, uint16_t port) {
  if (const auto problem = port != 0 ? WireServer::listenProblem(port) : std::nullopt) {
    Log::line("[m1] ERROR: " + *problem);
    std::exit(1);
  }
  SyntheticPump pump;
  try {
    pump = startPump(width, height, fps, port, 0, [](const std::string& line) { Log::line(line); });
  } catch (const std::exception& e) {
    Log::line("[m1] ERROR: " + WireServer::startErrorText(e, port));
    std::exit(1);
  }
  Log::line("[m1] serving " + std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps) +
            " on :" + std::to_string(pump.server->boundPort()) + " — Ctrl-C to stop");
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace lumenrail
