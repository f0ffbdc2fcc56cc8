// Live reconfiguration of a serving session: who owns the display mode, mode
// rebuilds, the small lane's plan, extend or mirror, and pen high rate.
// Everything below the entry points runs on the reconfiguration queue, one
// change at a time, in arrival order; the clients' wishes (codec, modes,
// settings, audio) arrive there gathered, the newest of each kind after its
// settle. A mode lasts as long as the client whose wish it is. The
// collaborators do the work.
#include <algorithm>

#include "session/M2Pipeline.hpp"
#include "wire/MainDeviceArbiter.hpp"

namespace lumenrail {

// ---- display-mode ownership ---------------------------------------------------

void M2Pipeline::requestClientMode(const Wire::ClientMode& request, int32_t fd) {
  const auto sanitized = ClientModePolicy::sanitize(request);
  if (!sanitized) {
    say("[m2] ClientMode " + std::to_string(request.width) + "x" + std::to_string(request.height) + "@" +
        std::to_string(request.refreshHz) + " rejected (no usable resolution)");
    return;
  }
  wishes_->modeAsked(fd, *sanitized);
}

void M2Pipeline::applyWishes() {
  expectOn(*reconfigQueue_, "M2Pipeline::applyWishes");
  const PendingWishes::Batch batch = wishes_->take();
  bool lanesMoved = false;
  if (batch.codec) lanesMoved = lanes_->negotiateCodec(server_->hevcWanted());
  if (!batch.modes.empty()) {
    std::set<int32_t> live;
    for (const auto& client : server_->connectedClients()) live.insert(client.fd);
    for (const auto& [fd, wanted] : batch.modes) {
      if (live.contains(fd)) applyModeWish(fd, wanted);
    }
    lanesMoved = true;
  }
  if (lanesMoved) updateSmallLane();
  if (batch.settings) lanes_->settingsChanged();
  if (batch.audio) audio_->wantedChanged(server_->audioWanted());
}

void M2Pipeline::applyModeWish(int32_t fd, const Mode& wanted) {
  lastMode_[fd] = wanted;
  switch (MainDeviceArbiter::decide(primaryClientFd_, fd)) {
    case MainDeviceArbiter::Decision::adopt:
      setPrimary(fd);
      if (reconfigure(wanted)) modeSetter_ = fd;
      break;
    case MainDeviceArbiter::Decision::honor:
      if (reconfigure(wanted)) modeSetter_ = fd;
      break;
    case MainDeviceArbiter::Decision::ignore:
      if (const Mode current = lanes_->mode(); wanted != current) {
        say("[m2] ClientMode " + label(wanted) + " from secondary client (fd " + std::to_string(fd) +
            ") — primary (fd " + std::to_string(*primaryClientFd_) + ") owns " + label(current));
      }
      break;
  }
}

void M2Pipeline::setPrimary(std::optional<int32_t> fd) {
  primaryClientFd_ = fd;
  std::optional<std::string> fingerprint;
  if (fd) {
    for (const auto& client : server_->connectedClients()) {
      if (client.fd == *fd) fingerprint = client.fingerprint;
    }
  }
  std::lock_guard lock(mainLock_);
  mainFingerprint_ = fingerprint;
}

void M2Pipeline::clientDeparted(int32_t fd) {
  // Now, on the connection thread: a newcomer may get this descriptor as
  // soon as the hook returns, and must not inherit the wish.
  wishes_->forget(fd);
  postReconfig([fd](M2Pipeline& p) {
    std::set<int32_t> live;
    for (const auto& client : p.server_->connectedClients()) live.insert(client.fd);
    // The hook runs before the server forgets the client; it is gone either way.
    live.erase(fd);
    std::erase_if(p.lastMode_, [&](const auto& entry) { return !live.contains(entry.first); });
    if (p.primaryClientFd_ == fd) {
      std::set<int32_t> known;
      for (const auto& [known_fd, mode] : p.lastMode_) known.insert(known_fd);
      const auto next = MainDeviceArbiter::promote(live, known);
      if (!next) {
        p.setPrimary(std::nullopt);
        p.say("[m2] primary client (fd " + std::to_string(fd) + ") disconnected — display-mode lock released");
      } else {
        p.setPrimary(next);
        p.say("[m2] primary client (fd " + std::to_string(fd) + ") disconnected — display-mode lock → fd " +
              std::to_string(*next));
        if (auto it = p.lastMode_.find(*next); it != p.lastMode_.end()) {
          // Its wish stands even when the rebuild fails: trying again would fail alike.
          p.modeSetter_ = next;
          p.reconfigure(it->second);
        }
      }
    }
    if (p.modeSetter_ == fd) p.releaseModeOf(fd);
    p.updateSmallLane();
  });
}

void M2Pipeline::setMainDevice(const std::string& fingerprint) {
  postReconfig([fingerprint](M2Pipeline& p) {
    std::optional<int32_t> pick;
    for (const auto& client : p.server_->connectedClients()) {
      if (client.fingerprint == fingerprint && (!pick || client.fd < *pick)) pick = client.fd;
    }
    if (!pick) {
      p.say("[m2] set-main ignored — " + fingerprint + " has no live connection");
      return;
    }
    p.setPrimary(pick);
    p.say("[m2] display-mode lock → fd " + std::to_string(*pick) + " (" + fingerprint + ", host pick)");
    if (auto it = p.lastMode_.find(*pick); it != p.lastMode_.end()) {
      p.modeSetter_ = pick;
      p.reconfigure(it->second);
    }
    p.updateSmallLane();
  });
}

void M2Pipeline::updateSmallLane() { lanes_->updateSmallLane(primaryClientFd_, lastMode_); }

// ---- mode rebuilds --------------------------------------------------------------

void M2Pipeline::releaseModeOf(int32_t fd) {
  std::optional<int32_t> heir;
  Mode wanted = config_.mode;
  if (primaryClientFd_) {
    if (auto it = lastMode_.find(*primaryClientFd_); it != lastMode_.end()) {
      heir = primaryClientFd_;
      wanted = it->second;
    }
  }
  if (wanted != lanes_->mode()) {
    say("[m2] fd " + std::to_string(fd) + " asked for " + label(lanes_->mode()) + " and left — back to " +
        label(wanted) + (heir ? " (fd " + std::to_string(*heir) + "'s mode)" : std::string(" (the host's settings)")));
    reconfigure(wanted);
  }
  modeSetter_ = heir;
}

bool M2Pipeline::reconfigure(const Mode& to) {
  const Mode old = lanes_->mode();
  if (to == old) {
    say("[m2] ClientMode matches current " + label(old) + " — no change");
    return true;
  }
  say("[m2] reconfiguring " + label(old) + " → " + label(to));
  const RebuildResult result = lanes_->rebuildOrRestore(
      to, lanes_->codec(), "[m2] WARN: reconfigure failed — restoring " + label(old),
      "[m2] ERROR: could not restore the previous mode's encoder either — serving nothing until the next "
      "reconfigure");
  if (result == RebuildResult::encoderFailed) return false;
  display_->noteMode(to);
  server_->resetViewport();
  say(result == RebuildResult::rebuilt ? "[m2] now capturing + serving " + label(to)
                                       : "[m2] serving " + label(to) + " — capture still starting");
  return true;
}

// ---- extend or mirror, pen high rate --------------------------------------------

void M2Pipeline::setCaptureMain(bool on) {
  postReconfig([on](M2Pipeline& p) { p.applyCaptureMain(on); });
}

void M2Pipeline::applyCaptureMain(bool on) {
  expectOn(*reconfigQueue_, "M2Pipeline::applyCaptureMain");
  if (!display_->changes(on)) return;
  capture_->stop();
  const Mode mode = lanes_->mode();
  pump_->reset(std::pair{mode.width, mode.height});
  display_->switchTo(on, mode, server_->clientCount() > 0);
  server_->rebroadcastHello(hello(mode, lanes_->codec()));
  if (capture_->start(mode, 3) == CaptureStart::started) {
    say("[m2] now capturing " +
        std::string(display_->mirroring() ? "main display (mirror) " : "virtual display (extend) ") + label(mode));
  } else {
    say("[m2] WARN: capture restart after mode switch failed");
    capture_->armRecovery();
  }
}

void M2Pipeline::setPenHighRate(bool on) {
  postReconfig([on](M2Pipeline& p) {
    p.display_->setPenHighRate(on, p.lanes_->mode(), p.server_->clientCount() > 0);
  });
}

// ---- getters ----------------------------------------------------------------------

std::vector<std::string> M2Pipeline::connectedClientNames() const {
  std::vector<std::string> names;
  for (const auto& client : server_->connectedClients()) {
    if (!client.name.empty()) names.push_back(client.name);
  }
  return names;
}

bool M2Pipeline::hasNetworkClient() const {
  const auto clients = server_->connectedClients();
  return std::any_of(clients.begin(), clients.end(), [](const auto& c) { return c.overNetwork; });
}

std::set<std::string> M2Pipeline::connectedFingerprints() const {
  std::set<std::string> fingerprints;
  for (const auto& client : server_->connectedClients()) {
    if (client.fingerprint) fingerprints.insert(*client.fingerprint);
  }
  return fingerprints;
}

std::optional<std::string> M2Pipeline::mainFingerprint() const {
  std::lock_guard lock(mainLock_);
  return mainFingerprint_;
}

}  // namespace lumenrail
