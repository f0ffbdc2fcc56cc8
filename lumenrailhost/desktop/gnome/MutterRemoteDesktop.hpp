#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Clock.hpp"

namespace lumenrail {

class DBusConnection;

class MutterSessionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Wraps a remote-desktop session of Mutter's org.gnome.Mutter.RemoteDesktop
// with a screen cast linked to it that records one stream: a virtual monitor
// (RecordVirtual, a platform monitor, so windows and the pointer can go
// there) or an existing monitor (RecordMonitor). The session lives on a
// D-Bus connection of its own: Mutter ends the session, the stream and the
// virtual monitor when that connection closes, so nothing outlives stop()
// or a killed host. Input is posted on the same session, in the stream's
// own pixels.
class MutterRemoteDesktop final {
 public:
  struct Config {
    std::string busAddress;  // empty: the session bus
    bool virtualMonitor = false;
    std::string connector;  // RecordMonitor's monitor; empty: the primary one
    bool embedCursor = true;
    uint64_t callTimeoutNs = 5 * kNsPerSecond;
    // From Start to the stream's PipeWire node.
    uint64_t streamTimeoutNs = 10 * kNsPerSecond;
    // Input waits this long at most: a pen behind a hung compositor is worth nothing later.
    uint64_t inputTimeoutNs = 500 * kNsPerMs;
    // While Mutter does not answer, input is dropped unsent; one call this often finds out.
    uint64_t inputRetryNs = kNsPerSecond;
  };

  // The error name of input dropped unsent because Mutter stopped answering.
  static constexpr const char* kNotAnswering = "org.lumenrail.Error.MutterNotAnswering";

  // Told once, on the D-Bus thread, when the session ends without stop():
  // Mutter closed it, left the bus or the bus went.
  using ClosedHandler = std::function<void(const std::string& why)>;

  // Creates, records and starts; returns once the stream has its PipeWire
  // node. Throws DBusError or MutterSessionError; nothing is left behind then.
  static std::shared_ptr<MutterRemoteDesktop> start(const Config& config, ClosedHandler onClosed);
  ~MutterRemoteDesktop();
  MutterRemoteDesktop(const MutterRemoteDesktop&) = delete;
  MutterRemoteDesktop& operator=(const MutterRemoteDesktop&) = delete;

  uint32_t pipeWireNode() const;
  const std::string& streamPath() const;
  const std::string& connector() const;  // the recorded monitor's; empty for a virtual one

  // Input on the session, each call within `inputTimeoutNs`; throws DBusError
  // (named kNotAnswering when dropped unsent while Mutter does not answer).
  void pointerMotionAbsolute(double x, double y);
  void pointerButton(int32_t evdevButton, bool pressed);
  void pointerAxis(double dx, double dy, uint32_t flags);
  void pointerAxisDiscrete(uint32_t axis, int32_t steps);
  void keyboardKeycode(uint32_t evdevCode, bool pressed);
  void touchDown(uint32_t slot, double x, double y);
  void touchMotion(uint32_t slot, double x, double y);
  void touchUp(uint32_t slot);

  // Asks Mutter, without waiting, for something its main loop answers;
  // `answered` is told on the D-Bus thread when it does. While one probe is
  // unanswered no other is sent: a hung Mutter leaves it unanswered.
  void probeAlive(std::function<void()> answered);
  // Asks Mutter something cheap and waits at most `timeoutNs` for the answer.
  bool answers(uint64_t timeoutNs);
  // False from a call Mutter left unanswered until one it answered.
  bool answering() const;

  // Stops the session and closes the connection; the handler is not told.
  void stop();

  // The primary monitor's connector from org.gnome.Mutter.DisplayConfig.
  static std::string primaryConnector(DBusConnection& bus, uint64_t timeoutNs);

 private:
  struct State;
  explicit MutterRemoteDesktop(std::shared_ptr<State> state);
  std::shared_ptr<State> state_;
};

}  // namespace lumenrail
