#pragma once

// While serving, watches usbmuxd for a USB-attached iOS device, dials the
// client application's port through it, hands the tunnel to the wire server
// and redials once that connection has closed; after a tunnel that closed at
// once it waits longer each time (RedialBackoff).

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "links/RedialBackoff.hpp"
#include "links/UsbmuxClient.hpp"
#include "platform/Clock.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"

namespace lumenrail {

class WireServer;

class UsbmuxServeBridge final : public std::enable_shared_from_this<UsbmuxServeBridge> {
 public:
  static constexpr uint16_t usbListenPort = 27184;

  // The thread holds the bridge weakly, so it lives in a shared_ptr.
  static std::shared_ptr<UsbmuxServeBridge> create(std::shared_ptr<WireServer> server, uint16_t port,
                                                   std::optional<std::string> serial = std::nullopt);
  ~UsbmuxServeBridge();
  UsbmuxServeBridge(const UsbmuxServeBridge&) = delete;
  UsbmuxServeBridge& operator=(const UsbmuxServeBridge&) = delete;

  // Set before start(), never changed while running.
  Log::Sink onEvent;
  UsbmuxClient::Endpoint endpoint;
  uint64_t idlePollNs = 1'000'000'000;      // no device, daemon away, or a failed dial
  uint64_t refusedPollNs = 700'000'000;     // device attached, client app not listening
  static constexpr uint64_t kFirstRedialWaitNs = 250 * kNsPerMs;  // after a tunnel that closed at once
  NowNs nowNs = uptimeNs;  // times how long each tunnel lived
  // Replaces the worker's waits (stop() then no longer cuts them short), so
  // tests see each wait and move nowNs by hand.
  std::function<void(uint64_t ns)> waitForTesting;

  // Called once per bridge.
  void start();
  // Ends the worker and waits for it (bounded by one usbmuxd exchange); a tunnel
  // already adopted stays with the server, whose own stop closes it.
  void stop();

  // A tunnel has been handed to the server and has not closed yet.
  bool tunnelActive() const;

 private:
  UsbmuxServeBridge(std::shared_ptr<WireServer> server, uint16_t port, std::optional<std::string> serial);


  static void run(const std::weak_ptr<UsbmuxServeBridge>& weak);
  void pass(std::string& quiet);
  // Waits up to `ns` or until stop(); false once stopped.
  bool pause(uint64_t ns);
  void report(const std::string& line) const;

  const uint16_t port_;
  const std::shared_ptr<WireServer> server_;
  const std::optional<std::string> serial_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool running_ = false;
  bool active_ = false;
  uint64_t upNs_ = 0;           // when the active tunnel came up
  uint64_t redialWaitNs_ = 0;   // before the next dial
  RedialBackoff backoff_{kFirstRedialWaitNs};
  NamedThread thread_;
};

}  // namespace lumenrail
