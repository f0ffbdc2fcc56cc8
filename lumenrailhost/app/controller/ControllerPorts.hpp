#pragma once

// What the tray controller is given besides the ports of AppPorts.hpp and
// ServingSession.hpp: the tray icon and the update checker (modal alerts
// and the display-sleep assertion are in ports/). The views target
// implements them with Qt, the tests with fakes.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/Bytes.hpp"
#include "platform/Executor.hpp"
#include "ports/Alerts.hpp"
#include "ports/SleepAssertion.hpp"
#include "settings/UpdateRelease.hpp"

namespace lumenrail {

// Declared, not included (wire/HostUpdate.hpp): the views take this header
// for the tray icon, and the wire protocol is none of theirs.
enum class HostUpdate : uint8_t;

// The serving state: stopped 0, starting 1, serving 2, stopping 3.
enum class ServingPhase : int { stopped = 0, starting = 1, serving = 2, stopping = 3 };

// The tray icon. Main thread.
class StatusItem {
 public:
  virtual ~StatusItem() = default;
  // False when the desktop offers no system tray at all.
  virtual bool available() const = 0;
  // Dimmed unless serving; the menu follows the phase.
  virtual void show(ServingPhase phase) = 0;
  // A tray has appeared since launch: the icon goes into it.
  virtual void dock() {}
};

// A running update checker; stopped and dropped when checks are switched off.
class UpdateCheckerHandle {
 public:
  virtual ~UpdateCheckerHandle() = default;
  virtual void start() = 0;
  virtual void stop() = 0;
};
struct UpdateCheckerRequest {
  std::string running;   // the running version
  std::string platform;  // the manifest key of this host
  // Both arrive on the main queue.
  std::function<void(const UpdateRelease&)> onUpdate;
  std::function<void(HostUpdate, const std::string& version, int64_t minClient)> onVerdict;
};
using UpdateCheckerFactory = std::function<std::unique_ptr<UpdateCheckerHandle>(UpdateCheckerRequest request)>;

class HostSettingsModel;

// A window the controller makes once and brings to the front on demand.
class HostWindow {
 public:
  virtual ~HostWindow() = default;
  // Activates the application and brings the window to the front.
  virtual void show() = 0;
  virtual bool isVisible() const = 0;
  virtual void hide() {}
};

// The pairing window, made for one port and one key.
class QrWindowPort {
 public:
  virtual ~QrWindowPort() = default;
  virtual void show(bool serving) = 0;
};

// The controller's windows; an empty factory leaves that window out.
struct WindowSeams {
  // The setup assistant; false while it does not exist.
  std::function<bool()> showSetup;
  std::function<std::unique_ptr<HostWindow>(std::shared_ptr<HostSettingsModel> model)> makeSettings;
  std::function<std::unique_ptr<HostWindow>()> makeAbout;
  // What allowing input takes on Linux, with the command and a re-check.
  std::function<std::unique_ptr<HostWindow>()> makeInputAccess;
  // The panel under the tray icon.
  std::function<void()> showPanel;
  // The panel as a window of its own ("Lumenrail"), where there is no tray.
  std::function<std::unique_ptr<HostWindow>()> makeMain;
  // `clientCount` reads the controller's session of the moment.
  std::function<std::unique_ptr<QrWindowPort>(uint16_t port, std::optional<Bytes> psk,
                                              std::function<int64_t()> clientCount)>
      makeQr;
};

}  // namespace lumenrail
