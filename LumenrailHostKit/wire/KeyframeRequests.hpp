#pragma once

// When the encoders must force a keyframe. The server's own reasons (a new
// client, a new Hello, a lane change) raise it at once. A client's requests
// (RequestIdr, RequestHello) force at most one keyframe per client per
// interval: a keyframe costs every client many times a frame's bytes, so one
// client asking a hundred times a second must not multiply the others'
// stream. A request inside the interval is deferred, not lost; any keyframe
// that goes out serves every request waiting, whoever caused it.

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/Clock.hpp"

namespace lumenrail {

class KeyframeRequests final {
 public:
  static constexpr uint64_t kClientIntervalNs = 500 * kNsPerMs;

  KeyframeRequests() = default;
  KeyframeRequests(const KeyframeRequests&) = delete;
  KeyframeRequests& operator=(const KeyframeRequests&) = delete;

  void raise();
  // A request by the client on socket `client`; keyed by socket, so the
  // session forgets it before its socket is closed.
  void ask(int32_t client, uint64_t nowNs);
  void forget(int32_t client);
  // True once per keyframe due at `nowNs`, and clears it.
  bool take(uint64_t nowNs);

 private:
  struct Asker {
    uint64_t forcedNs = 0;  // when its request last forced a keyframe
    bool deferred = false;
  };

  std::mutex mutex_;
  bool pending_ = false;
  int64_t deferred_ = 0;  // askers with `deferred` set
  std::unordered_map<int32_t, Asker> askers_;
};

}  // namespace lumenrail
