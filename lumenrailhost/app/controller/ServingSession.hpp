#pragma once

// The serving session as the tray controller sees it, so the controller is
// tested with a fake; the real one is PipelineServingSession over M2Pipeline.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/panel/PanelSource.hpp"
#include "platform/Bytes.hpp"
#include "wire/HostUpdate.hpp"
#include "wire/PairingPrologue.hpp"

namespace lumenrail {

// What one serving session is started with.
struct SessionConfig {
  int64_t width = 0;
  int64_t height = 0;
  int64_t fps = 0;
  uint16_t port = 0;
  bool captureMain = false;
  bool usb = false;
  std::optional<Bytes> psk;
  std::optional<PairingPrologue::Pairing> pairing;
  bool penHighRate = false;
};

// One serving session as the controller sees it; the real one is M2Pipeline.
class ServingSession {
 public:
  struct Hooks {
    // Both run on the main queue.
    std::function<void(const std::optional<std::string>& deviceName)> onClientMustUpdate;
    std::function<void(const std::string& name, bool overNetwork)> onClientNamed;
  };
  virtual ~ServingSession() = default;
  // Set before startServing().
  virtual void setHooks(Hooks hooks) = 0;
  // Blocking; on the serve queue only.
  virtual bool startServing() = 0;
  // After a failed startServing(), on the same queue: why, in the owner's
  // words; empty when not known.
  virtual std::string startFailure() const { return {}; }
  virtual void stopServing() = 0;
  // Any thread, without blocking.
  virtual bool captureMain() const = 0;
  virtual void setCaptureMain(bool on) = 0;
  virtual void setPenHighRate(bool on) = 0;
  virtual int64_t clientCount() const = 0;
  virtual void setVersionVerdict(int64_t floor, HostUpdate update, const std::string& version) = 0;
  // What the panel and the menu read of the session once it serves; null
  // when it offers nothing to read.
  virtual ServingSessionView* view() { return nullptr; }
};
using SessionFactory = std::function<std::shared_ptr<ServingSession>(const SessionConfig& config)>;

}  // namespace lumenrail
