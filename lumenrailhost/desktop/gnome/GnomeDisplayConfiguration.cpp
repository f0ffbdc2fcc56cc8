#include "desktop/gnome/GnomeDisplayConfiguration.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <set>

#include "desktop/gnome/MutterCalls.hpp"
#include "platform/DBusConnection.hpp"

namespace lumenrail {

using namespace MutterCalls;

namespace {

// ApplyMonitorsConfig's "temporary": applied at once, never stored, no prompt.
constexpr uint32_t kMethodTemporary = 1;
constexpr int64_t kLeastMonitorHz = 60;

}  // namespace

std::shared_ptr<GnomeDisplayConfiguration> GnomeDisplayConfiguration::open(Config config) {
  auto self = std::shared_ptr<GnomeDisplayConfiguration>(new GnomeDisplayConfiguration(std::move(config)));
  self->bus_ = DBusConnection::connect(self->config_.busAddress, self->config_.callTimeoutNs);
  const std::weak_ptr<GnomeDisplayConfiguration> weak = self;
  // The bus routes a well-known sender's signals from whoever owns the name now.
  self->bus_->subscribe(kDisplayConfig, kMonitorsChanged.interface, kMonitorsChanged.name, kDisplayConfigPath,
                        [weak](auto&, auto&, auto&) {
                          if (auto s = weak.lock()) s->forget();
                        });
  self->bus_->watchNameOwner(kDisplayConfig, [weak](const std::string& owner) {
    if (auto s = weak.lock()) s->ownerChanged(owner);
  });
  self->state();  // fails here, not later, when Mutter does not answer
  return self;
}

GnomeDisplayConfiguration::GnomeDisplayConfiguration(Config config) : config_(std::move(config)) {}

GnomeDisplayConfiguration::~GnomeDisplayConfiguration() {
  std::map<uint32_t, std::shared_ptr<Virtual>> virtuals;
  {
    std::lock_guard guard(lock_);
    virtuals.swap(virtuals_);
  }
  for (auto& [id, v] : virtuals) {
    if (v->capture) v->capture->stop();
  }
  if (bus_) bus_->close();
}

// ---- the current state ----------------------------------------------------------

void GnomeDisplayConfiguration::forget() {
  std::lock_guard guard(lock_);
  cached_.reset();
  ++changes_;
  changed_.notify_all();
}

void GnomeDisplayConfiguration::ownerChanged(const std::string&) {
  {
    std::lock_guard guard(lock_);
    // The old Mutter's monitors went with it; the captures that kept them are over.
    for (auto& [id, v] : virtuals_) {
      if (v->ended) *v->ended = true;
      v->connector.clear();
    }
  }
  forget();
}

GnomeDisplayConfiguration::State GnomeDisplayConfiguration::state() {
  {
    std::lock_guard guard(lock_);
    if (cached_) return *cached_;
  }
  uint64_t before = 0;
  {
    std::lock_guard guard(lock_);
    before = changes_;
  }
  State s = readState();
  std::lock_guard guard(lock_);
  // A change signalled during the read leaves the answer uncached.
  if (changes_ == before) cached_ = s;
  return s;
}

GnomeDisplayConfiguration::State GnomeDisplayConfiguration::readState() {
  // (serial, monitors a((ssss)a(siiddada{sv})a{sv}), logical a(iiduba(ssss)a{sv}), properties)
  const DBusValue reply =
      MutterCalls::call(*bus_, kDisplayConfig, kDisplayConfigPath, kGetCurrentState, {}, config_.callTimeoutNs);
  State s;
  s.serial = uint32_t(reply.at(0).asUint());
  for (const auto& m : reply.at(1).items()) {
    Monitor monitor;
    monitor.connector = m.at(0).at(0).asString();
    monitor.output = {m.at(0).at(1).asString(), m.at(0).at(2).asString(), m.at(0).at(3).asString()};
    for (const auto& mode : m.at(1).items()) {
      if (mode.at(6).find("is-current").asBool()) {
        monitor.modeId = mode.at(0).asString();
        monitor.width = mode.at(1).asInt();
        monitor.height = mode.at(2).asInt();
        monitor.refresh = mode.at(3).asReal();
      }
    }
    s.monitors.push_back(std::move(monitor));
  }
  for (const auto& l : reply.at(2).items()) {
    Logical logical;
    logical.bounds.x = l.at(0).asInt();
    logical.bounds.y = l.at(1).asInt();
    logical.scale = l.at(2).asReal();
    logical.transform = uint32_t(l.at(3).asUint());
    logical.primary = l.at(4).asBool();
    for (const auto& m : l.at(5).items()) logical.connectors.push_back(m.at(0).asString());
    // The logical size is the first monitor's mode, scaled (and turned on a quarter turn).
    for (const auto& monitor : reply.at(1).items()) {
      if (logical.connectors.empty() || monitor.at(0).at(0).asString() != logical.connectors.front()) continue;
      for (const auto& mode : monitor.at(1).items()) {
        if (!mode.at(6).find("is-current").asBool()) continue;
        double w = double(mode.at(1).asInt()) / (logical.scale > 0 ? logical.scale : 1);
        double h = double(mode.at(2).asInt()) / (logical.scale > 0 ? logical.scale : 1);
        if (logical.transform % 2 == 1) std::swap(w, h);
        logical.bounds.width = int64_t(std::lround(w));
        logical.bounds.height = int64_t(std::lround(h));
      }
    }
    s.logical.push_back(std::move(logical));
  }
  return s;
}

const GnomeDisplayConfiguration::Logical* GnomeDisplayConfiguration::logicalOf(const State& s,
                                                                               const std::string& connector) const {
  for (const auto& l : s.logical) {
    if (std::find(l.connectors.begin(), l.connectors.end(), connector) != l.connectors.end()) return &l;
  }
  return nullptr;
}

uint32_t GnomeDisplayConfiguration::idOfLocked(const std::string& connector) {
  for (const auto& [id, v] : virtuals_) {
    if (!v->connector.empty() && v->connector == connector) return id;
  }
  const auto [it, added] = ids_.emplace(connector, nextId_);
  if (added) ++nextId_;
  return it->second;
}

std::optional<std::string> GnomeDisplayConfiguration::connectorLocked(uint32_t id) {
  if (const auto v = virtuals_.find(id); v != virtuals_.end()) {
    if (v->second->connector.empty()) return std::nullopt;
    return v->second->connector;
  }
  for (const auto& [connector, known] : ids_) {
    if (known == id) return connector;
  }
  return std::nullopt;
}

std::string GnomeDisplayConfiguration::connectorOf(uint32_t id) {
  std::lock_guard guard(lock_);
  return connectorLocked(id).value_or(std::string());
}

bool GnomeDisplayConfiguration::isVirtual(uint32_t id) {
  std::lock_guard guard(lock_);
  return virtuals_.count(id) == 1;
}

uint32_t GnomeDisplayConfiguration::mainDisplay() {
  const State s = state();
  std::lock_guard guard(lock_);
  for (const auto& l : s.logical) {
    if (l.primary && !l.connectors.empty()) return idOfLocked(l.connectors.front());
  }
  if (!s.logical.empty() && !s.logical.front().connectors.empty()) return idOfLocked(s.logical.front().connectors.front());
  return 0;
}

std::optional<DisplayBounds> GnomeDisplayConfiguration::bounds(uint32_t id) {
  const State s = state();
  std::string connector;
  {
    std::lock_guard guard(lock_);
    const auto c = connectorLocked(id);
    if (!c) return std::nullopt;
    connector = *c;
  }
  const Logical* l = logicalOf(s, connector);
  if (!l) return std::nullopt;
  return l->bounds;
}

std::vector<uint32_t> GnomeDisplayConfiguration::activeDisplays() {
  const State s = state();
  std::lock_guard guard(lock_);
  std::vector<uint32_t> ids;
  for (const auto& l : s.logical) {
    for (const auto& c : l.connectors) ids.push_back(idOfLocked(c));
  }
  return ids;
}

std::optional<uint32_t> GnomeDisplayConfiguration::mirrorOf(uint32_t id) {
  const State s = state();
  std::lock_guard guard(lock_);
  const auto connector = connectorLocked(id);
  if (!connector) return std::nullopt;
  const Logical* l = logicalOf(s, *connector);
  // Mutter mirrors by putting monitors into one logical monitor.
  if (!l || l->connectors.size() < 2) return std::nullopt;
  for (const auto& c : l->connectors) {
    if (c != *connector) return idOfLocked(c);
  }
  return std::nullopt;
}

std::optional<double> GnomeDisplayConfiguration::refreshRate(uint32_t id) {
  const State s = state();
  std::lock_guard guard(lock_);
  const auto connector = connectorLocked(id);
  for (const auto& m : s.monitors) {
    if (connector && m.connector == *connector && m.refresh > 0) return m.refresh;
  }
  return std::nullopt;
}

std::optional<GnomeTabletMapping::Output> GnomeDisplayConfiguration::outputOf(uint32_t id) {
  const State s = state();
  std::lock_guard guard(lock_);
  const auto connector = connectorLocked(id);
  for (const auto& m : s.monitors) {
    if (connector && m.connector == *connector) return m.output;
  }
  return std::nullopt;
}

bool GnomeDisplayConfiguration::configure(const std::vector<DisplayPlacement>& placements) {
  State s;
  std::map<std::string, DisplayPlacement> moves;
  try {
    s = readState();  // the serial must be the newest
    std::lock_guard guard(lock_);
    for (const auto& p : placements) {
      const auto connector = connectorLocked(p.id);
      if (!connector || !logicalOf(s, *connector)) return false;
      moves[*connector] = p;
    }
  } catch (const DBusError&) {
    return false;
  }
  const auto placed = [&](const Logical& l) {
    DisplayPlacement at{0, l.bounds.x, l.bounds.y};
    for (const auto& c : l.connectors) {
      if (const auto it = moves.find(c); it != moves.end()) at = it->second;
    }
    return at;
  };
  // A display placed at the origin becomes the main one, as the interface
  // promises; a change that places none there keeps the main display.
  bool movedToOrigin = false;
  for (const auto& l : s.logical) {
    const DisplayPlacement at = placed(l);
    const bool moved = std::any_of(l.connectors.begin(), l.connectors.end(),
                                   [&](const std::string& c) { return moves.count(c) == 1; });
    movedToOrigin = movedToOrigin || (moved && at.x == 0 && at.y == 0);
  }
  std::vector<DBusValue> logical;
  for (const auto& l : s.logical) {
    const DisplayPlacement at = placed(l);
    const int64_t x = at.x;
    const int64_t y = at.y;
    const bool primary = movedToOrigin ? (x == 0 && y == 0) : l.primary;
    std::vector<DBusValue> monitors;
    for (const auto& c : l.connectors) {
      std::string mode;
      for (const auto& m : s.monitors) {
        if (m.connector == c) mode = m.modeId;
      }
      monitors.push_back(DBusValue::tuple({DBusValue::string(c), DBusValue::string(mode), DBusValue::vardict({})}));
    }
    logical.push_back(DBusValue::tuple({DBusValue::int32(int32_t(x)), DBusValue::int32(int32_t(y)),
                                        DBusValue::real(l.scale), DBusValue::uint32(l.transform),
                                        DBusValue::boolean(primary), DBusValue::list(std::move(monitors))}));
  }
  // Mutter wants the layout's top-left at the origin and no gaps; the
  // placements the session asks for (main at 0,0, the rest right of it) keep that.
  try {
    MutterCalls::call(*bus_, kDisplayConfig, kDisplayConfigPath, kApplyMonitorsConfig,
                      DBusValue::tuple({DBusValue::uint32(s.serial), DBusValue::uint32(kMethodTemporary),
                                        DBusValue::list(std::move(logical)), DBusValue::vardict({})}),
                      config_.callTimeoutNs);
  } catch (const DBusError&) {
    return false;
  }
  forget();
  return true;
}

// ---- virtual displays ----------------------------------------------------------------

bool GnomeDisplayConfiguration::waitForMonitor(const std::function<bool(const State&)>& found) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(config_.monitorTimeoutNs);
  for (;;) {
    uint64_t seen = 0;
    {
      std::lock_guard guard(lock_);
      seen = changes_;
    }
    if (found(readState())) {
      forget();
      return true;
    }
    std::unique_lock guard(lock_);
    if (!changed_.wait_until(guard, deadline, [&] { return changes_ != seen; })) return false;
  }
}

void GnomeDisplayConfiguration::startVirtual(Virtual& v) {
  std::set<std::string> before;
  for (const auto& m : readState().monitors) before.insert(m.connector);
  MutterCaptureSource::Config c;
  c.width = v.request.width;
  c.height = v.request.height;
  // Mutter fixes the monitor's rate when it makes it (and caps it at 60 Hz);
  // a later rate would need a mode change, so the monitor starts at 60 Hz at
  // least and every stream rate up to that is served by the pacer.
  c.fps = std::max<int64_t>(kLeastMonitorHz, std::lround(v.request.refreshRate));
  c.virtualMonitor = true;
  c.pixelFormat = v.format;
  c.busAddress = config_.busAddress;
  c.pipewireRemote = config_.pipewireRemote;
  c.callTimeoutNs = config_.callTimeoutNs;
  auto capture = std::make_shared<MutterCaptureSource>(c);
  capture->onFrame = [lock = v.sinkLock, sink = v.sink](const PixelBufferRef& buffer, uint64_t ns) {
    std::lock_guard guard(*lock);
    if (*sink && (*sink)->onFrame) (*sink)->onFrame(buffer, ns);
  };
  auto ended = std::make_shared<std::atomic<bool>>(false);
  capture->onStop = [lock = v.sinkLock, sink = v.sink, ended](std::exception_ptr error) {
    *ended = true;
    std::lock_guard guard(*lock);
    if (*sink && (*sink)->onStop) (*sink)->onStop(error);
  };
  capture->start();
  // Mutter lists the monitor once the stream's consumer took the offered format.
  std::string connector;
  const bool listed = waitForMonitor([&](const State& s) {
    for (const auto& m : s.monitors) {
      if (before.count(m.connector) == 0) {
        connector = m.connector;
        break;
      }
    }
    return !connector.empty();
  });
  if (!listed) {
    capture->stop();
    throw MutterCaptureSource::CaptureError("Mutter did not list the virtual monitor within " +
                                            std::to_string(config_.monitorTimeoutNs / kNsPerMs) + " ms");
  }
  std::lock_guard guard(lock_);
  v.connector = connector;
  v.capture = capture;
  v.ended = ended;
}

// Mutter (43 and later) gives the virtual monitor the size its consumer
// renegotiates the stream to: the same monitor, connector and PipeWire node,
// so nothing is unplugged and re-plugged. False when it did not follow.
bool GnomeDisplayConfiguration::resizeInPlace(Virtual& v) {
  std::string connector;
  {
    std::lock_guard guard(lock_);
    connector = v.connector;
  }
  if (connector.empty() || !v.capture) return false;
  try {
    v.capture->resize(v.request.width, v.request.height);
  } catch (const std::exception&) {
    return false;
  }
  return waitForMonitor([&](const State& s) {
    return std::any_of(s.monitors.begin(), s.monitors.end(), [&](const Monitor& m) {
      return m.connector == connector && m.width == int64_t(v.request.width) && m.height == int64_t(v.request.height);
    });
  });
}

std::optional<uint32_t> GnomeDisplayConfiguration::addVirtualDisplay(const VirtualDisplayRequest& request,
                                                                     std::string& failure) {
  std::lock_guard serial(virtualLock_);
  auto v = std::make_shared<Virtual>();
  v->request = request;
  try {
    startVirtual(*v);
  } catch (const std::exception& e) {
    failure = std::string("RecordVirtual refused: ") + e.what();
    return std::nullopt;
  }
  std::lock_guard guard(lock_);
  const uint32_t id = nextVirtual_++;
  virtuals_[id] = v;
  return id;
}

bool GnomeDisplayConfiguration::setVirtualMode(uint32_t id, uint32_t width, uint32_t height, double refreshRate) {
  std::lock_guard serial(virtualLock_);
  const std::shared_ptr<Virtual> v = virtualOf(id);
  if (!v) return false;
  const bool running = v->capture && !(v->ended && *v->ended);
  const bool sameSize = v->request.width == width && v->request.height == height;
  v->request.width = width;
  v->request.height = height;
  v->request.refreshRate = refreshRate;
  // A new rate alone leaves the monitor as it is: any mode change moves the
  // user's windows off it, and the stream's pace is the pacer's business.
  if (running && sameSize) return true;
  if (running && resizeFollows_) {
    if (resizeInPlace(*v)) return true;
    // A Mutter that did not follow once is not waited on again at every change.
    resizeFollows_ = false;
  }
  // Where Mutter does not follow the stream: a new monitor of the new size.
  endCapture(*v);
  try {
    startVirtual(*v);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

bool GnomeDisplayConfiguration::removeVirtualDisplay(uint32_t id) {
  std::lock_guard serial(virtualLock_);
  std::shared_ptr<Virtual> v;
  {
    std::lock_guard guard(lock_);
    const auto it = virtuals_.find(id);
    if (it == virtuals_.end()) return false;
    v = it->second;
    virtuals_.erase(it);
  }
  if (v->capture) v->capture->stop();
  forget();
  return true;
}

std::shared_ptr<MutterCaptureSource> GnomeDisplayConfiguration::attach(uint32_t id, PixelFormat format,
                                                                      CaptureSource* sink) {
  std::lock_guard serial(virtualLock_);
  const std::shared_ptr<Virtual> v = virtualOf(id);
  if (!v) throw MutterCaptureSource::CaptureError("the virtual display is gone");
  {
    std::lock_guard guard(*v->sinkLock);
    *v->sink = sink;
  }
  // A capture that ended (Mutter or PipeWire went), whose Mutter stopped
  // answering, or that has another format starts again.
  if (!v->capture || (v->ended && *v->ended) || v->capture->unresponsive() || v->format != format) {
    endCapture(*v);
    v->format = format;
    try {
      startVirtual(*v);
    } catch (...) {
      // A capture that did not start is not attached: no later one may reach it.
      std::lock_guard guard(*v->sinkLock);
      *v->sink = nullptr;
      throw;
    }
  }
  return v->capture;
}

// The monitor goes with its capture; the next start makes a new one.
void GnomeDisplayConfiguration::endCapture(Virtual& v) {
  if (v.capture) v.capture->stop();
  std::lock_guard guard(lock_);
  v.capture.reset();
  v.connector.clear();
}

std::shared_ptr<GnomeDisplayConfiguration::Virtual> GnomeDisplayConfiguration::virtualOf(uint32_t id) {
  std::lock_guard guard(lock_);
  const auto it = virtuals_.find(id);
  return it == virtuals_.end() ? nullptr : it->second;
}

std::shared_ptr<MutterCaptureSource> GnomeDisplayConfiguration::captureOf(uint32_t id) {
  std::lock_guard guard(lock_);
  const auto it = virtuals_.find(id);
  return it == virtuals_.end() ? nullptr : it->second->capture;
}

void GnomeDisplayConfiguration::detach(uint32_t id, CaptureSource* sink) {
  const std::shared_ptr<Virtual> v = virtualOf(id);
  if (!v) return;
  std::lock_guard guard(*v->sinkLock);
  if (*v->sink == sink) *v->sink = nullptr;
}

}  // namespace lumenrail
