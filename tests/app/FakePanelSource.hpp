#pragma once

// A host for the panel, menu and device-action tests: plain fields behind
// the source interface, a session that records what is asked of it, and a
// real paired-devices store in a temporary folder.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/panel/PanelSource.hpp"

namespace lumenrail::test {

struct FakeSession final : ServingSessionView {
  std::string mode = "1920x1080@60";
  bool mirror = false;
  bool penApplied = false;
  std::optional<std::string> main;
  std::vector<SessionClient> clients;
  std::map<int32_t, PeerVersion> versions;
  std::vector<std::string>* calls = nullptr;  // "main <fp>", "disconnect <fp>"
  std::function<std::string()> disconnectNote;  // appended to the disconnect entry

  std::string modeLabel() const override { return mode; }
  bool captureMain() const override { return mirror; }
  bool penHighRateApplied() const override { return penApplied; }
  std::optional<std::string> mainFingerprint() const override { return main; }
  std::vector<SessionClient> connectedClients() const override { return clients; }
  std::optional<PeerVersion> peerVersion(int32_t fd) const override {
    const auto it = versions.find(fd);
    return it == versions.end() ? std::nullopt : std::optional<PeerVersion>(it->second);
  }
  void setMainDevice(const std::string& fp) override {
    if (calls) calls->push_back("main " + fp);
  }
  void disconnect(const std::string& fp) override {
    if (calls) calls->push_back("disconnect " + fp + (disconnectNote ? " " + disconnectNote() : ""));
  }
};

struct FakeSource final : PanelSource {
  bool isServing = false;
  bool isTransitioning = false;
  HostSettings current = HostSettings::shipDefaults();
  std::optional<HostSettings> running;
  std::optional<UpdateRelease> update;
  std::optional<std::string> clientUpdate;
  bool blocked = false;
  int64_t floor = 0;
  std::shared_ptr<PairedDevicesStore> store;
  std::unique_ptr<FakeSession> live;
  bool awdl = false;
  mutable int awdlProbes = 0;

  bool serving() const override { return isServing; }
  bool transitioning() const override { return isTransitioning; }
  HostSettings settings() const override { return current; }
  std::optional<HostSettings> runningSettings() const override { return running; }
  std::optional<UpdateRelease> availableUpdate() const override { return update; }
  std::optional<std::string> clientAppUpdate() const override { return clientUpdate; }
  bool inputBlocked() const override { return blocked; }
  int64_t clientFloor() const override { return floor; }
  std::shared_ptr<PairedDevicesStore> pairedDevices() const override { return store; }
  ServingSessionView* session() const override { return live.get(); }
  bool awdlActive() const override {
    ++awdlProbes;
    return awdl;
  }

  // Serving with a session of its own.
  FakeSession& serve() {
    isServing = true;
    live = std::make_unique<FakeSession>();
    running = current;
    return *live;
  }
};

// A paired device pinned into `store` with an alias and a last-seen time.
inline std::string pair(PairedDevicesStore& store, uint8_t keyByte, const std::string& label, double lastSeen,
                        const std::optional<std::string>& alias = std::nullopt,
                        PairingProtocol::DeviceKind kind = PairingProtocol::DeviceKind::unknown) {
  const Bytes key(32, keyByte);
  store.pin(key, label, std::nullopt, kind, lastSeen);
  std::string fingerprint;
  for (const auto& d : store.all()) {
    if (d.publicKey == key) fingerprint = d.fingerprint;
  }
  if (alias) store.rename(fingerprint, *alias);
  return fingerprint;
}

}  // namespace lumenrail::test
