#pragma once

// The wire self-test and the synthetic serve: the wire server and the video
// encoder on generated frames, without screen capture.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "media/VideoToolboxEncoder.hpp"
#include "platform/Bytes.hpp"
#include "platform/NamedThread.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

struct SyntheticPump {
  std::shared_ptr<WireServer> server;
  std::shared_ptr<VideoToolboxEncoder> encoder;
  // Set to end the pump early (the self-test does once it has its answer).
  std::shared_ptr<std::atomic<bool>> stop;
  // The "lumenrail-encode-pump" thread; it ends by itself after its frames.
  std::shared_ptr<NamedThread> thread;
};

// Builds and starts the encoder, the server (event lines to `log` behind
// "[wire] ") and the pump thread. `maxFrames` 0 means no limit; `loopbackOnly`
// keeps the server off the network. Throws the encoder's or the server's start
// error, and std::invalid_argument for a size or rate the encoder cannot take.
SyntheticPump startPump(int64_t width, int64_t height, int64_t fps, uint16_t port, int64_t maxFrames,
                        std::function<void(const std::string&)> log, bool loopbackOnly = false);

// Starts the pump and checks its stream with checkWireTestStream; stops the server
// on every outcome. Prints its lines; true when every check passed.
bool runWireSelfTest(int64_t width, int64_t height, int64_t fps, uint16_t port);

// What the self-test expects of the stream it reads.
struct WireTestStreamShape {
  int64_t width = 0;
  int64_t height = 0;
  int64_t fps = 0;
  // The encoder's regular keyframe spacing: a keyframe that answers the
  // keyframe request must come well before the regular one would.
  int64_t keyframeIntervalFrames = 0;
};

// The client half of the self-test: connects over loopback to `port` and
// checks Hello, frames, the keyframe request and time synchronisation. Every
// read waits at most `readTimeoutMs`, so a missing reply is a failure, never a
// hang. Prints its lines and the RESULT line; true when every check passed.
bool checkWireTestStream(uint16_t port, const WireTestStreamShape& shape, int64_t readTimeoutMs);

// Frames the self-test's pump sends: enough to reach a regular keyframe and
// still ask for one at low rates.
int64_t selfTestFrameCount(int64_t fps);

// Serves the generated stream until the process is killed.
[[noreturn]] void runSyntheticServe(int64_t width, int64_t height, int64_t fps, uint16_t port);

// A minimal client of the program's own server.
class LoopbackClient final {
 public:
  // `readTimeoutMs` bounds each whole packet read.
  static std::unique_ptr<LoopbackClient> connect(uint16_t port, int64_t readTimeoutMs = kReadTimeoutMs);
  ~LoopbackClient();
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;

  struct Packet {
    uint8_t type = 0;
    Bytes payload;
  };
  // Nothing at the end of the stream, on a read error or after the read time-out.
  std::optional<Packet> readPacket();
  void sendAll(ByteView bytes);

  // Bounds what one packet may make us allocate (far above any access unit
  // the encoder makes under its rate cap), and how long a read may wait.
  static constexpr uint32_t kMaxPayload = 16 * 1024 * 1024;
  static constexpr int64_t kReadTimeoutMs = 10'000;

 private:
  LoopbackClient(int fd, int64_t readTimeoutMs) : fd_(fd), readTimeoutMs_(readTimeoutMs) {}
  bool readExact(uint8_t* out, size_t size, uint64_t deadlineNs);
  int fd_;
  int64_t readTimeoutMs_;
};

}  // namespace lumenrail
