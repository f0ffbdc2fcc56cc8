#pragma once

// The client-version rules: the floor below which a client may not be served,
// the host's own version report that carries it, and the verdict on each
// client (decided once per session, by its ClientMode or by a timer).

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "platform/Bytes.hpp"
#include "wire/ClientConn.hpp"
#include "wire/HostUpdate.hpp"
#include "wire/PeerVersion.hpp"

namespace lumenrail {

class HostVersionGate final {
 public:
  static constexpr int64_t hostWireLevel = 2;
  static constexpr int64_t minClientLevel = 0;
  static constexpr int64_t judgeDelayMs = 3000;

  enum class ClientVerdict { ok, clientBlocksItself, hostEndsSession };

  static int64_t floor(int64_t manifestMinClient);
  static ClientVerdict judge(const std::optional<PeerVersion>& reported, int64_t floor);

  // Without a version of its own the host sends no report.
  explicit HostVersionGate(std::optional<std::string> hostAppVersion);
  HostVersionGate(const HostVersionGate&) = delete;
  HostVersionGate& operator=(const HostVersionGate&) = delete;

  // The host's whole peerVersion packet with the current verdict.
  std::optional<Bytes> reportPacket() const;
  // True when the verdict changed (the update name counts only with an update).
  bool setVerdict(int64_t floor, HostUpdate hostUpdate, const std::string& updateVersion);
  int64_t clientFloor() const;

  struct Decision {
    enum class Kind { admitted, belowFloor, refused };
    Kind kind = Kind::admitted;
    bool first = false;  // this call made the decision; later calls repeat it
    int64_t floor = 0;
    int64_t level = 0;       // belowFloor: the level the client reported
    std::string deviceName;  // refused: the name the client gave, if any
  };
  // Judges the client once, recording the verdict on it in the same step, so
  // a ClientMode and the timer never both judge nor see half a verdict.
  Decision judgeClient(ClientConn& conn) const;

 private:
  const std::optional<std::string> hostAppVersion_;
  mutable std::mutex mutex_;
  int64_t floor_ = 0;
  HostUpdate hostUpdate_ = HostUpdate::none;
  std::string updateName_;
};

}  // namespace lumenrail
