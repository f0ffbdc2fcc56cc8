#include "M1Wire.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <thread>

#include "media/SyntheticFrameSource.hpp"
#include "platform/ByteOrder.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/Socket.hpp"

namespace lumenrail {

namespace {

constexpr int32_t kBitrate = 12'000'000;
constexpr uint64_t kTicksPerSecond = 1'000'000'000;
constexpr const char* kHostVersion = "1.0.9";

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

M1Pump startPump(int64_t width, int64_t height, int64_t fps, uint16_t port, int64_t maxFrames,
                 std::function<void(const std::string&)> log) {
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
  sc.hello.codec = Wire::Codec::h264;
  sc.hello.width = static_cast<uint32_t>(ec.width);
  sc.hello.height = static_cast<uint32_t>(ec.height);
  sc.hello.frameRateNum = static_cast<uint32_t>(ec.fps);
  sc.hello.frameRateDen = 1;
  sc.hello.bitrateBps = kBitrate;
  sc.hello.qpcFrequency = kTicksPerSecond;
  auto server = WireServer::create(sc);
  server->onEvent = [log](const std::string& line) {
    if (log) log("[wire] " + line);
  };
  server->hostAppVersion = kHostVersion;
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
  auto thread = std::make_shared<NamedThread>("lumenrail-encode-pump", [encoder, weakServer, source, period,
                                                                         maxFrames, stop] {
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
      const bool force = server->takeIdrRequest();
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

std::unique_ptr<LoopbackClient> LoopbackClient::connect(uint16_t port) {
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
  // A stream that stalls ends the test instead of blocking it for ever.
  Socket::setReceiveTimeoutMs(fd, kReadTimeoutMs);
  return std::unique_ptr<LoopbackClient>(new LoopbackClient(fd));
}

LoopbackClient::~LoopbackClient() { ::close(fd_); }

std::optional<LoopbackClient::Packet> LoopbackClient::readPacket() {
  uint8_t header[Wire::headerSize];
  if (!Socket::recvAll(fd_, header, sizeof header)) return std::nullopt;
  const uint32_t length = ByteOrder::readLE32(ByteView(header, sizeof header), 1);
  if (length > kMaxPayload) return std::nullopt;
  Packet p;
  p.type = header[0];
  p.payload.resize(length);
  if (length > 0 && !Socket::recvAll(fd_, p.payload.data(), length)) return std::nullopt;
  return p;
}

void LoopbackClient::sendAll(ByteView bytes) { Socket::sendAll(fd_, bytes); }

bool runM1SelfTest(int64_t width, int64_t height, int64_t fps, uint16_t port) {
  M1Pump pump;
  std::unique_ptr<LoopbackClient> client;
  auto fail = [&](const std::string& text) {
    Log::line("[m1] FAIL: " + text);
    Log::line("RESULT: M1 FAIL");
    client.reset();
    if (pump.stop) *pump.stop = true;
    if (pump.server) pump.server->stop();
    return false;
  };
  try {
    pump = startPump(width, height, fps, port, fps * 4, [](const std::string& line) { Log::line(line); });
  } catch (const std::exception& e) {
    return fail(std::string("pump start: ") + e.what());
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  // The bound port: the same as `port`, or the one chosen when `port` is 0.
  client = LoopbackClient::connect(pump.server->boundPort());
  if (!client) return fail("connect refused");

  auto hello = client->readPacket();
  if (!hello) return fail("no Hello");
  if (hello->type != 0x01) return fail("first packet not Hello (0x" + upperHex(hello->type) + ")");
  const Bytes& h = hello->payload;
  if (h.size() != 32) return fail("Hello payload " + std::to_string(h.size()) + " B, want 32 (v2)");
  if (h[0] != 2) return fail("Hello version " + std::to_string(h[0]) + ", want 2");
  if (h[1] != 0) return fail("Hello codec " + std::to_string(h[1]) + ", want 0 (H264)");
  const uint32_t w = ByteOrder::readLE32(h, 4);
  const uint32_t ht = ByteOrder::readLE32(h, 8);
  if (w != uint32_t(width) || ht != uint32_t(height)) {
    return fail("Hello res " + std::to_string(w) + "x" + std::to_string(ht));
  }
  const uint64_t qpc = ByteOrder::readLE64(h, 24);
  if (qpc != kTicksPerSecond) return fail("Hello qpcFrequency " + std::to_string(qpc) + ", want 1e9");
  Log::line("[m1] Hello OK: v2, " + std::to_string(w) + "x" + std::to_string(ht) + ", qpcFreq=" + std::to_string(qpc));

  bool firstWasKey = false;
  for (int frame = 0; frame < 30;) {
    auto p = client->readPacket();
    if (!p) return fail("stream ended at frame " + std::to_string(frame));
    if (p->type != 0x03) continue;
    if (p->payload.size() < 13) return fail("frame " + std::to_string(frame) + " has no access unit");
    if (frame == 0) firstWasKey = p->payload[8] == 1;
    if (frame == 29) {
      if (!firstWasKey) return fail("first frame not a keyframe");
      const uint64_t ticks = ByteOrder::readLE64(p->payload, 0);
      if (ticks == 0) return fail("capture ticks unset");
      Log::line("[m1] Frames OK: 30 read, first=keyframe, ticks=" + std::to_string(ticks));
    }
    ++frame;
  }

  client->sendAll(Bytes{0x05, 0x04, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00});
  bool keyframe = false;
  for (int64_t i = 0; i < fps * 2 && !keyframe; ++i) {
    auto p = client->readPacket();
    if (!p) break;
    keyframe = p->type == 0x03 && p->payload.size() >= 9 && p->payload[8] == 1;
  }
  if (!keyframe) return fail("no keyframe after RequestIdr");
  Log::line("[m1] RequestIdr OK: forced keyframe arrived");

  client->sendAll(Bytes{0x06, 0x08, 0x00, 0x00, 0x00, 0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01});
  for (int64_t i = 0; i < fps * 4; ++i) {
    auto p = client->readPacket();
    if (!p) break;
    if (p->type != 0x06) continue;
    if (p->payload.size() != 16) break;
    const uint64_t echo = ByteOrder::readLE64(p->payload, 0);
    const uint64_t hostTicks = ByteOrder::readLE64(p->payload, 8);
    if (echo != 0x0123456789ABCDEFULL) return fail("TimeSync echo mismatch");
    if (hostTicks == 0) return fail("TimeSync hostTicks unset");
    Log::line("[m1] TimeSync OK: echo matched, hostTicks=" + std::to_string(hostTicks));
    Log::line("RESULT: M1 PASS");
    client.reset();
    *pump.stop = true;
    pump.server->stop();
    return true;
  }
  return fail("no/short TimeSync reply");
}

void runM1Serve(int64_t width, int64_t height, int64_t fps, uint16_t port) {
  M1Pump pump;
  try {
    pump = startPump(width, height, fps, port, 0, [](const std::string& line) { Log::line(line); });
  } catch (const std::exception& e) {
    Log::line(std::string("[m1] ERROR: ") + e.what());
    std::exit(1);
  }
  Log::line("[m1] serving " + std::to_string(width) + "x" + std::to_string(height) + "@" + std::to_string(fps) +
            " on :" + std::to_string(pump.server->boundPort()) + " — Ctrl-C to stop");
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace lumenrail
