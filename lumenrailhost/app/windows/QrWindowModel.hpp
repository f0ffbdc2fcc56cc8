#pragma once

// What the pairing QR window shows and decides: the addresses offered, the
// link for the chosen one, the copy feedback, and the connection watch that
// closes the window once a new device has joined. Main thread only.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/controller/AppPorts.hpp"
#include "app/windows/WindowPorts.hpp"
#include "links/LanAddress.hpp"
#include "platform/Bytes.hpp"
#include "platform/Log.hpp"

namespace lumenrail {

class QrWindowModel final {
 public:
  static constexpr uint64_t kWatchIntervalNs = 1'000'000'000;
  static constexpr uint64_t kCopiedForNs = 1'500'000'000;
  static constexpr int kCloseAfterTicks = 3;

  struct Ports {
    // Clients of whatever session the owner runs when asked; 0 without one.
    std::function<int64_t()> clientCount;
    std::function<std::vector<LanAddress::Candidate>()> candidates = LanAddress::candidates;
    std::shared_ptr<Clipboard> clipboard;
    std::shared_ptr<Executor> main;  // the watch and the copied state's end; none: neither
    Log::Sink log = Log::line;
    // Whether the icon is in a tray now; none: it is.
    std::function<bool()> trayShown;
  };

  QrWindowModel(uint16_t port, std::optional<Bytes> psk, Ports ports);
  QrWindowModel(const QrWindowModel&) = delete;
  QrWindowModel& operator=(const QrWindowModel&) = delete;

  uint16_t port() const { return port_; }
  const std::optional<Bytes>& psk() const { return psk_; }
  // The owner's reuse rule: the same port and the same key (both absent, or
  // equal byte for byte).
  bool builtFor(uint16_t port, const std::optional<Bytes>& psk) const { return port == port_ && psk == psk_; }

  // Reads the addresses anew, shows the first, and restarts the watch.
  void show(bool serving);
  bool serving() const { return serving_; }
  bool trayShown() const { return !ports_.trayShown || ports_.trayShown(); }
  const std::vector<LanAddress::Candidate>& candidates() const { return candidates_; }
  int chosenIndex() const { return chosenIndex_; }
  const LanAddress::Candidate* chosen() const;
  void choose(int index);
  // The pairing link for the chosen address; nothing without one.
  std::optional<std::string> link() const;

  // Puts the link on the clipboard and shows "copied" for 1.5 s.
  bool copyLink();
  bool copied() const { return copied_; }

  void watchTick();
  // The window closed: the watch stops.
  void stopWatching();
  bool watching() const { return watch_.armed(); }
  int64_t baseline() const { return baseline_; }
  int closeIn() const { return closeIn_; }

  // Set by the window: close it as its close button would; redraw.
  std::function<void()> onClose;
  std::function<void()> onChange;

 private:
  int64_t count() const { return ports_.clientCount ? ports_.clientCount() : 0; }

  const uint16_t port_;
  const std::optional<Bytes> psk_;
  Ports ports_;
  bool serving_ = true;
  std::vector<LanAddress::Candidate> candidates_;
  int chosenIndex_ = 0;
  bool copied_ = false;
  int64_t baseline_ = 0;
  int closeIn_ = -1;
  Executor::Timer watch_;
  // A watch stopped from inside its own tick lives until the next show.
  Executor::Timer retired_;
  bool ticking_ = false;
  Executor::Timer copiedReset_;
};

}  // namespace lumenrail
