#include "wire/HostVersionGate.hpp"

#include <algorithm>

namespace lumenrail {

int64_t HostVersionGate::floor(int64_t manifestMinClient) { return std::max<int64_t>(manifestMinClient, 0); }

HostVersionGate::ClientVerdict HostVersionGate::judge(const std::optional<PeerVersion>& reported, int64_t floor) {
  if (floor <= 0) return ClientVerdict::ok;
  if (!reported) return ClientVerdict::hostEndsSession;
  if (reported->wireLevel < floor) return ClientVerdict::clientBlocksItself;
  return ClientVerdict::ok;
}

HostVersionGate::HostVersionGate(std::optional<std::string> hostAppVersion)
    : hostAppVersion_(std::move(hostAppVersion)) {}

std::optional<Bytes> HostVersionGate::reportPacket() const {
  if (!hostAppVersion_) return std::nullopt;
  PeerVersion v;
  v.wireLevel = hostWireLevel;
  v.platform = PeerPlatform::macos;  // clients expect the code they know
  v.version = *hostAppVersion_;
  std::lock_guard lock(mutex_);
  v.minClientLevel = floor_;
  v.hostUpdate = hostUpdate_;
  v.updateVersion = updateName_;
  return v.encode(true);
}

bool HostVersionGate::setVerdict(int64_t floor, HostUpdate hostUpdate, const std::string& updateVersion) {
  const std::string name = hostUpdate == HostUpdate::none ? std::string() : updateVersion;
  std::lock_guard lock(mutex_);
  const bool changed = floor != floor_ || hostUpdate != hostUpdate_ || name != updateName_;
  floor_ = floor;
  hostUpdate_ = hostUpdate;
  updateName_ = name;
  return changed;
}

int64_t HostVersionGate::clientFloor() const {
  std::lock_guard lock(mutex_);
  return floor_;
}

HostVersionGate::Decision HostVersionGate::judgeClient(ClientConn& conn) const {
  Decision d;
  d.floor = clientFloor();
  std::lock_guard lock(conn.mutex);
  if (conn.versionJudged) {
    d.kind = conn.versionRefused ? Decision::Kind::refused : Decision::Kind::admitted;
    return d;
  }
  conn.versionJudged = true;
  d.first = true;
  switch (judge(conn.peerVersion, d.floor)) {
    case ClientVerdict::ok:
      break;
    case ClientVerdict::clientBlocksItself:
      d.kind = Decision::Kind::belowFloor;
      d.level = conn.peerVersion->wireLevel;
      break;
    case ClientVerdict::hostEndsSession:
      d.kind = Decision::Kind::refused;
      d.deviceName = conn.deviceName;
      conn.versionRefused = true;
      break;
  }
  return d;
}

}  // namespace lumenrail
