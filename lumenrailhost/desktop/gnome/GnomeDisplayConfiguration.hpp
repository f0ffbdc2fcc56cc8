#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "desktop/gnome/GnomeTabletMapping.hpp"
#include "desktop/gnome/MutterCaptureSource.hpp"
#include "media/CaptureSource.hpp"
#include "platform/DisplayConfiguration.hpp"

namespace lumenrail {

class DBusConnection;

// Wraps org.gnome.Mutter.DisplayConfig (GetCurrentState, MonitorsChanged,
// ApplyMonitorsConfig) for the display arrangement, and holds the virtual
// displays it adds. A Mutter virtual monitor exists only while a screen cast
// records it (RecordVirtual) and a PipeWire consumer takes its frames, so
// adding one starts that capture here; the session's capture of it attaches
// to the running capture instead of starting another. A new size resizes
// the monitor in place (the stream is renegotiated); a new rate alone leaves
// it as it is; a new monitor is made only where Mutter does not follow. Ids are this object's: one per connector, in order of sight.
// Calls go to the well-known name, so a Mutter that restarts (GNOME Shell
// after a crash) is served again: its arrival ends the captures of the old
// one, and the next attach makes each virtual monitor anew there.
class GnomeDisplayConfiguration final : public DisplayConfiguration,
                                        public std::enable_shared_from_this<GnomeDisplayConfiguration> {
 public:
  struct Config {
    std::string busAddress;      // empty: the session bus
    std::string pipewireRemote;  // empty: $XDG_RUNTIME_DIR/pipewire-0
    uint64_t callTimeoutNs = 5 * kNsPerSecond;
    // From the virtual monitor's stream starting to Mutter listing it.
    uint64_t monitorTimeoutNs = 5 * kNsPerSecond;
  };

  // Throws DBusError when Mutter's DisplayConfig cannot be reached.
  static std::shared_ptr<GnomeDisplayConfiguration> open(Config config);
  ~GnomeDisplayConfiguration() override;

  std::optional<uint32_t> addVirtualDisplay(const VirtualDisplayRequest& request, std::string& failure) override;
  bool setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double refreshRate) override;
  bool removeVirtualDisplay(uint32_t id) override;
  uint32_t mainDisplay() override;
  std::optional<DisplayBounds> bounds(uint32_t id) override;
  std::vector<uint32_t> activeDisplays() override;
  std::optional<uint32_t> mirrorOf(uint32_t id) override;
  bool configure(const std::vector<DisplayPlacement>& placements) override;

  bool isVirtual(uint32_t id);
  // The connector of display `id`; empty when unknown.
  std::string connectorOf(uint32_t id);
  // The rate Mutter reports for display `id`'s current mode.
  std::optional<double> refreshRate(uint32_t id) override;
  // Display `id` as GNOME's device-to-monitor settings name it.
  std::optional<GnomeTabletMapping::Output> outputOf(uint32_t id);

  // The running capture of virtual display `id` (restarted when it ended, in
  // `format`), whose frames and end go to `sink` until detach(). Throws what
  // MutterCaptureSource::start throws.
  std::shared_ptr<MutterCaptureSource> attach(uint32_t id, PixelFormat format, CaptureSource* sink);
  void detach(uint32_t id, CaptureSource* sink);
  // The capture now behind virtual display `id` (a new mode replaces it); null when none runs.
  std::shared_ptr<MutterCaptureSource> captureOf(uint32_t id);

 private:
  struct Monitor {
    std::string connector;
    GnomeTabletMapping::Output output;
    std::string modeId;
    int64_t width = 0;
    int64_t height = 0;
    double refresh = 0;
  };
  struct Logical {
    DisplayBounds bounds;
    double scale = 1;
    uint32_t transform = 0;
    bool primary = false;
    std::vector<std::string> connectors;
  };
  struct State {
    uint32_t serial = 0;
    std::vector<Monitor> monitors;
    std::vector<Logical> logical;
  };
  // A virtual display: the capture that keeps Mutter's monitor alive.
  struct Virtual {
    VirtualDisplayRequest request;
    PixelFormat format = PixelFormat::nv12FullRange;
    std::shared_ptr<MutterCaptureSource> capture;
    std::shared_ptr<std::atomic<bool>> ended;  // the capture ended by itself
    std::string connector;
    // Guarded by `sinkLock`: where frames go.
    std::shared_ptr<std::mutex> sinkLock = std::make_shared<std::mutex>();
    std::shared_ptr<CaptureSource*> sink = std::make_shared<CaptureSource*>(nullptr);
  };

  explicit GnomeDisplayConfiguration(Config config);
  State state();
  State readState();
  void forget();
  uint32_t idOfLocked(const std::string& connector);
  std::optional<std::string> connectorLocked(uint32_t id);
  const Logical* logicalOf(const State& s, const std::string& connector) const;
  std::shared_ptr<Virtual> virtualOf(uint32_t id);  // null when there is none
  void endCapture(Virtual& v);
  // Starts `v`'s capture and learns its connector; throws.
  void startVirtual(Virtual& v);
  bool resizeInPlace(Virtual& v);
  // Until Mutter's state satisfies `found`, at most `monitorTimeoutNs`.
  bool waitForMonitor(const std::function<bool(const State&)>& found);

  // A new owner of Mutter's names: nothing known of the old one holds.
  void ownerChanged(const std::string& owner);

  const Config config_;
  std::shared_ptr<DBusConnection> bus_;

  std::mutex lock_;  // everything below; never held across a wait for Mutter's monitors
  std::optional<State> cached_;
  uint64_t changes_ = 0;
  std::condition_variable changed_;
  std::map<std::string, uint32_t> ids_;
  uint32_t nextId_ = 1;
  std::map<uint32_t, std::shared_ptr<Virtual>> virtuals_;
  uint32_t nextVirtual_ = 0x100;

  std::mutex virtualLock_;  // serialises starting and stopping the virtual captures
  bool resizeFollows_ = true;  // under virtualLock_: Mutter resizes a virtual monitor in place
};

}  // namespace lumenrail
