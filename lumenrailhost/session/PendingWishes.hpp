#pragma once

// The clients' wishes waiting for the session's reconfiguration queue, the
// newest of each kind only. Codec, audio and encoder settings are kept as
// "changed" marks: their value is the server's merge over the clients still
// connected, read when the wishes are applied, so a client that has left
// counts no more. Display modes are kept per client, the newest one, in the
// order the clients first asked. A burst is gathered for kSettleNs from its
// first wish and then handed over in one piece: however many packets a client
// sends, it costs at most one switch of each kind per settle.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/Executor.hpp"
#include "wire/ClientModePolicy.hpp"

namespace lumenrail {

class PendingWishes final {
 public:
  using Mode = ClientModePolicy::Mode;

  // Long enough for a burst sent at once to arrive in full, also over Wi-Fi;
  // short beside the encoder and capture rebuild that a switch costs anyway.
  static constexpr uint64_t kSettleNs = 100'000'000;

  struct Batch {
    bool codec = false;
    bool audio = false;
    bool settings = false;
    std::vector<std::pair<int32_t, Mode>> modes;
  };

  // `due` runs on `timers` once a settle has passed; it should bring take()
  // to the reconfiguration queue.
  PendingWishes(std::shared_ptr<Executor> timers, std::function<void()> due);
  PendingWishes(const PendingWishes&) = delete;
  PendingWishes& operator=(const PendingWishes&) = delete;

  void codecChanged();
  void audioChanged();
  void settingsChanged();
  void modeAsked(int32_t fd, const Mode& mode);
  // A client left: its waiting mode goes with it (before its descriptor can
  // be given to a newcomer).
  void forget(int32_t fd);
  // Everything gathered; a wish after this starts a new settle.
  Batch take();
  // Nothing is gathered or handed over any more.
  void stop();

 private:
  template <class Change>
  void gather(Change change);

  const std::shared_ptr<Executor> timers_;
  const std::function<void()> due_;
  std::mutex lock_;
  Batch batch_;           // under lock_
  Executor::Timer settle_;  // under lock_; armed while a batch gathers
  bool stopped_ = false;  // under lock_
};

}  // namespace lumenrail
