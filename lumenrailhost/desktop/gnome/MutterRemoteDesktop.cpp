#include "desktop/gnome/MutterRemoteDesktop.hpp"

#include <linux/input-event-codes.h>

#include <atomic>
#include <mutex>

#include "platform/DBusConnection.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

namespace {

constexpr const char* kRemoteDesktop = "org.gnome.Mutter.RemoteDesktop";
constexpr const char* kRemoteDesktopPath = "/org/gnome/Mutter/RemoteDesktop";
constexpr const char* kRemoteDesktopSession = "org.gnome.Mutter.RemoteDesktop.Session";
constexpr const char* kScreenCast = "org.gnome.Mutter.ScreenCast";
constexpr const char* kScreenCastPath = "/org/gnome/Mutter/ScreenCast";
constexpr const char* kScreenCastSession = "org.gnome.Mutter.ScreenCast.Session";
constexpr const char* kScreenCastStream = "org.gnome.Mutter.ScreenCast.Stream";
constexpr const char* kDisplayConfig = "org.gnome.Mutter.DisplayConfig";
constexpr const char* kDisplayConfigPath = "/org/gnome/Mutter/DisplayConfig";

constexpr uint32_t kCursorHidden = 0;
constexpr uint32_t kCursorEmbedded = 1;

}  // namespace

struct MutterRemoteDesktop::State {
  Config config;
  std::shared_ptr<DBusConnection> bus;
  std::string mutterName;  // the unique name that owns the services
  std::string sessionPath;
  std::string streamPath;
  std::string connector;
  uint32_t node = 0;
  std::atomic<bool> probing{false};
  // Mutter left a call unanswered; cleared by any answer.
  std::atomic<bool> hung{false};
  std::atomic<uint64_t> lastInputTryNs{0};

  std::mutex mutex;
  ClosedHandler onClosed;  // cleared once told or stopped

  void tellClosed(const std::string& why) {
    ClosedHandler handler;
    {
      std::lock_guard guard(mutex);
      handler = std::move(onClosed);
      onClosed = nullptr;
    }
    if (handler) handler(why);
  }

  DBusValue callSession(const std::string& method, DBusValue args) {
    return bus->call(mutterName, sessionPath, kRemoteDesktopSession, method, args, config.callTimeoutNs);
  }

  // Input never queues behind a compositor that stopped answering: after one
  // call ran out of time the rest are dropped, but for one try a retry period.
  void input(const std::string& method, DBusValue args) {
    const uint64_t now = uptimeNs();
    if (hung.load() && now - lastInputTryNs.load() < config.inputRetryNs) {
      throw DBusError(kNotAnswering, "Mutter is not answering — " + method + " dropped");
    }
    lastInputTryNs.store(now);
    try {
      bus->call(mutterName, sessionPath, kRemoteDesktopSession, method, args, config.inputTimeoutNs);
      hung.store(false);
    } catch (const DBusError& e) {
      if (e.timedOut) hung.store(true);
      throw;
    }
  }

  // Mutter makes each virtual input device with the first event for it and
  // loses that event: events that change nothing make the pointer and the
  // keyboard now, so the user's first tap and first chord land.
  void primeDevices() {
    try {
      bus->call(mutterName, sessionPath, kRemoteDesktopSession, "NotifyPointerMotionRelative",
                DBusValue::tuple({DBusValue::real(0), DBusValue::real(0)}), config.callTimeoutNs);
      // A lone Shift tap: a release alone (of a key not held) makes no keyboard in Mutter 43.
      for (const bool pressed : {true, false}) {
        bus->call(mutterName, sessionPath, kRemoteDesktopSession, "NotifyKeyboardKeycode",
                  DBusValue::tuple({DBusValue::uint32(KEY_LEFTSHIFT), DBusValue::boolean(pressed)}),
                  config.callTimeoutNs);
      }
    } catch (const DBusError&) {
      // Unprimed, the first event is lost as before; the session still serves.
    }
  }
};

std::string MutterRemoteDesktop::primaryConnector(DBusConnection& bus, uint64_t timeoutNs) {
  // (serial, monitors a((ssss)a(...)a{sv}), logical monitors a(iiduba(ssss)a{sv}), properties)
  const DBusValue state = bus.call(kDisplayConfig, kDisplayConfigPath, kDisplayConfig, "GetCurrentState", {}, timeoutNs);
  const auto& logical = state.at(2).items();
  for (const auto& lm : logical) {
    if (lm.at(4).asBool() && !lm.at(5).items().empty()) return lm.at(5).at(0).at(0).asString();
  }
  // No primary: the first monitor Mutter lists.
  const auto& monitors = state.at(1).items();
  if (!monitors.empty()) return monitors.front().at(0).at(0).asString();
  throw MutterSessionError("Mutter reports no monitor");
}

std::shared_ptr<MutterRemoteDesktop> MutterRemoteDesktop::start(const Config& config, ClosedHandler onClosed) {
  auto state = std::make_shared<State>();
  state->config = config;
  state->onClosed = std::move(onClosed);
  state->bus = DBusConnection::connect(config.busAddress, config.callTimeoutNs);
  DBusConnection& bus = *state->bus;
  const uint64_t t = config.callTimeoutNs;
  try {
    // Calls go to the unique name: a Mutter that restarts is another peer, not this session's.
    state->mutterName = bus.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "GetNameOwner", DBusValue::tuple({DBusValue::string(kRemoteDesktop)}), t)
                            .at(0)
                            .asString();
    std::weak_ptr<State> weak = state;
    const auto closer = [weak](std::string why) {
      return [weak, why] {
        if (auto s = weak.lock()) s->tellClosed(why);
      };
    };
    bus.watchNameVanished(state->mutterName, closer("Mutter left the bus"));
    bus.setOnClosed(closer("the session bus closed the connection"));

    state->sessionPath =
        bus.call(state->mutterName, kRemoteDesktopPath, kRemoteDesktop, "CreateSession", {}, t).at(0).asString();
    const std::string sessionId = bus.property(state->mutterName, state->sessionPath, kRemoteDesktopSession,
                                               "SessionId", t)
                                      .asString();
    bus.subscribe(state->mutterName, kRemoteDesktopSession, "Closed", state->sessionPath,
                  [c = closer("Mutter closed the remote-desktop session")](auto&, auto&, auto&) { c(); });
    const std::string castPath =
        bus.call(state->mutterName, kScreenCastPath, kScreenCast, "CreateSession",
                 DBusValue::tuple({DBusValue::vardict({{"remote-desktop-session-id", DBusValue::string(sessionId)}})}),
                 t)
            .at(0)
            .asString();
    bus.subscribe(state->mutterName, kScreenCastSession, "Closed", castPath,
                  [c = closer("Mutter closed the screen cast")](auto&, auto&, auto&) { c(); });

    DBusValue::Entries options{
        {"cursor-mode", DBusValue::uint32(config.embedCursor ? kCursorEmbedded : kCursorHidden)}};
    if (config.virtualMonitor) {
      options.emplace_back("is-platform", DBusValue::boolean(true));
      state->streamPath = bus.call(state->mutterName, castPath, kScreenCastSession, "RecordVirtual",
                                   DBusValue::tuple({DBusValue::vardict(options)}), t)
                              .at(0)
                              .asString();
    } else {
      state->connector = config.connector.empty() ? primaryConnector(bus, t) : config.connector;
      state->streamPath =
          bus.call(state->mutterName, castPath, kScreenCastSession, "RecordMonitor",
                   DBusValue::tuple({DBusValue::string(state->connector), DBusValue::vardict(options)}), t)
              .at(0)
              .asString();
    }

    // Subscribed before Start: the node is announced once, right after it.
    auto nodeSeen = std::make_shared<OneShotEvent>();
    auto node = std::make_shared<uint32_t>(0);
    const unsigned added = bus.subscribe(state->mutterName, kScreenCastStream, "PipeWireStreamAdded",
                                         state->streamPath, [nodeSeen, node](auto&, auto&, const DBusValue& args) {
                                           *node = uint32_t(args.at(0).asUint());
                                           nodeSeen->signal();
                                         });
    state->callSession("Start", {});
    const bool seen = nodeSeen->waitFor(config.streamTimeoutNs);
    bus.unsubscribe(added);
    if (!seen) throw MutterSessionError("Mutter announced no PipeWire stream before the deadline");
    state->node = *node;
    state->primeDevices();
  } catch (...) {
    // Closing the connection is what makes Mutter drop the half-made session.
    {
      std::lock_guard guard(state->mutex);
      state->onClosed = nullptr;
    }
    state->bus->close();
    throw;
  }
  return std::shared_ptr<MutterRemoteDesktop>(new MutterRemoteDesktop(state));
}

MutterRemoteDesktop::MutterRemoteDesktop(std::shared_ptr<State> state) : state_(std::move(state)) {}

MutterRemoteDesktop::~MutterRemoteDesktop() { stop(); }

uint32_t MutterRemoteDesktop::pipeWireNode() const { return state_->node; }
const std::string& MutterRemoteDesktop::streamPath() const { return state_->streamPath; }
const std::string& MutterRemoteDesktop::connector() const { return state_->connector; }

void MutterRemoteDesktop::pointerMotionAbsolute(double x, double y) {
  state_->input("NotifyPointerMotionAbsolute",
                DBusValue::tuple({DBusValue::string(state_->streamPath), DBusValue::real(x), DBusValue::real(y)}));
}

void MutterRemoteDesktop::pointerButton(int32_t evdevButton, bool pressed) {
  state_->input("NotifyPointerButton",
                DBusValue::tuple({DBusValue::int32(evdevButton), DBusValue::boolean(pressed)}));
}

void MutterRemoteDesktop::pointerAxis(double dx, double dy, uint32_t flags) {
  state_->input("NotifyPointerAxis",
                DBusValue::tuple({DBusValue::real(dx), DBusValue::real(dy), DBusValue::uint32(flags)}));
}

void MutterRemoteDesktop::pointerAxisDiscrete(uint32_t axis, int32_t steps) {
  state_->input("NotifyPointerAxisDiscrete", DBusValue::tuple({DBusValue::uint32(axis), DBusValue::int32(steps)}));
}

void MutterRemoteDesktop::keyboardKeycode(uint32_t evdevCode, bool pressed) {
  state_->input("NotifyKeyboardKeycode",
                DBusValue::tuple({DBusValue::uint32(evdevCode), DBusValue::boolean(pressed)}));
}

void MutterRemoteDesktop::touchDown(uint32_t slot, double x, double y) {
  state_->input("NotifyTouchDown", DBusValue::tuple({DBusValue::string(state_->streamPath),
                                                     DBusValue::uint32(slot), DBusValue::real(x),
                                                     DBusValue::real(y)}));
}

void MutterRemoteDesktop::touchMotion(uint32_t slot, double x, double y) {
  state_->input("NotifyTouchMotion", DBusValue::tuple({DBusValue::string(state_->streamPath),
                                                       DBusValue::uint32(slot), DBusValue::real(x),
                                                       DBusValue::real(y)}));
}

void MutterRemoteDesktop::touchUp(uint32_t slot) {
  state_->input("NotifyTouchUp", DBusValue::tuple({DBusValue::uint32(slot)}));
}

void MutterRemoteDesktop::probeAlive(std::function<void()> answered) {
  if (state_->probing.exchange(true)) return;
  std::weak_ptr<State> weak = state_;
  state_->bus->callAsync(state_->mutterName, state_->sessionPath, "org.freedesktop.DBus.Properties", "Get",
                         DBusValue::tuple({DBusValue::string(kRemoteDesktopSession), DBusValue::string("SessionId")}),
                         state_->config.callTimeoutNs,
                         [weak, answered = std::move(answered)](std::optional<DBusValue> reply) {
                           auto s = weak.lock();
                           if (!s) return;
                           s->probing.store(false);
                           if (!reply) return;
                           s->hung.store(false);
                           if (answered) answered();
                         });
}

bool MutterRemoteDesktop::answers(uint64_t timeoutNs) {
  try {
    state_->bus->property(state_->mutterName, state_->sessionPath, kRemoteDesktopSession, "SessionId", timeoutNs);
    state_->hung.store(false);
    return true;
  } catch (const DBusError& e) {
    if (e.timedOut) state_->hung.store(true);
    return false;
  }
}

bool MutterRemoteDesktop::answering() const { return !state_->hung.load(); }

void MutterRemoteDesktop::stop() {
  {
    std::lock_guard guard(state_->mutex);
    state_->onClosed = nullptr;
  }
  // A hung Mutter would hold Stop for its whole deadline; the close ends the session all the same.
  if (state_->bus->isClosed() || state_->hung.load()) {
    state_->bus->close();
    return;
  }
  try {
    state_->callSession("Stop", {});
  } catch (const DBusError&) {
    // Closing the connection below ends the session all the same.
  }
  state_->bus->close();
}

}  // namespace lumenrail
