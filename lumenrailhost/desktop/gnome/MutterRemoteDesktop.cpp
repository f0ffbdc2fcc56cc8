#include "desktop/gnome/MutterRemoteDesktop.hpp"

#include <linux/input-event-codes.h>

#include <atomic>
#include <mutex>

#include "desktop/gnome/MutterCalls.hpp"
#include "platform/DBusConnection.hpp"
#include "platform/OneShotEvent.hpp"

namespace lumenrail {

using namespace MutterCalls;

namespace {

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

  DBusValue callSession(const MutterMember& method, DBusValue args) {
    return MutterCalls::call(*bus, mutterName, sessionPath, method, args, config.callTimeoutNs);
  }

  // Input never queues behind a compositor that stopped answering: after one
  // call ran out of time the rest are dropped, but for one try a retry period.
  void input(const MutterMember& method, DBusValue args) {
    const uint64_t now = uptimeNs();
    if (hung.load() && now - lastInputTryNs.load() < config.inputRetryNs) {
      throw DBusError(kNotAnswering, std::string("Mutter is not answering — ") + method.name + " dropped");
    }
    lastInputTryNs.store(now);
    try {
      MutterCalls::call(*bus, mutterName, sessionPath, method, args, config.inputTimeoutNs);
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
      callSession(kPointerMotionRelative, DBusValue::tuple({DBusValue::real(0), DBusValue::real(0)}));
      // A lone Shift tap: a release alone (of a key not held) makes no keyboard in Mutter 43.
      for (const bool pressed : {true, false}) {
        callSession(kKeyboardKeycode,
                    DBusValue::tuple({DBusValue::uint32(KEY_LEFTSHIFT), DBusValue::boolean(pressed)}));
      }
    } catch (const DBusError&) {
      // Unprimed, the first event is lost as before; the session still serves.
    }
  }
};

std::string MutterRemoteDesktop::primaryConnector(DBusConnection& bus, uint64_t timeoutNs) {
  // (serial, monitors a((ssss)a(...)a{sv}), logical monitors a(iiduba(ssss)a{sv}), properties)
  const DBusValue state = MutterCalls::call(bus, kDisplayConfig, kDisplayConfigPath, kGetCurrentState, {}, timeoutNs);
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
        MutterCalls::call(bus, state->mutterName, kRemoteDesktopPath, kCreateRemoteDesktop, {}, t).at(0).asString();
    const std::string sessionId =
        bus.property(state->mutterName, state->sessionPath, kSessionId.interface, kSessionId.name, t).asString();
    bus.subscribe(state->mutterName, kRemoteDesktopClosed.interface, kRemoteDesktopClosed.name, state->sessionPath,
                  [c = closer("Mutter closed the remote-desktop session")](auto&, auto&, auto&) { c(); });
    const std::string castPath =
        MutterCalls::call(
            bus, state->mutterName, kScreenCastPath, kCreateScreenCast,
            DBusValue::tuple({DBusValue::vardict({{"remote-desktop-session-id", DBusValue::string(sessionId)}})}), t)
            .at(0)
            .asString();
    bus.subscribe(state->mutterName, kScreenCastClosed.interface, kScreenCastClosed.name, castPath,
                  [c = closer("Mutter closed the screen cast")](auto&, auto&, auto&) { c(); });

    DBusValue::Entries options{
        {"cursor-mode", DBusValue::uint32(config.embedCursor ? kCursorEmbedded : kCursorHidden)}};
    if (config.virtualMonitor) {
      options.emplace_back("is-platform", DBusValue::boolean(true));
      state->streamPath = MutterCalls::call(bus, state->mutterName, castPath, kRecordVirtual,
                                            DBusValue::tuple({DBusValue::vardict(options)}), t)
                              .at(0)
                              .asString();
    } else {
      state->connector = config.connector.empty() ? primaryConnector(bus, t) : config.connector;
      state->streamPath =
          MutterCalls::call(bus, state->mutterName, castPath, kRecordMonitor,
                            DBusValue::tuple({DBusValue::string(state->connector), DBusValue::vardict(options)}), t)
              .at(0)
              .asString();
    }

    // Subscribed before Start: the node is announced once, right after it.
    auto nodeSeen = std::make_shared<OneShotEvent>();
    auto node = std::make_shared<uint32_t>(0);
    const unsigned added = bus.subscribe(state->mutterName, kPipeWireStreamAdded.interface, kPipeWireStreamAdded.name,
                                         state->streamPath, [nodeSeen, node](auto&, auto&, const DBusValue& args) {
                                           *node = uint32_t(args.at(0).asUint());
                                           nodeSeen->signal();
                                         });
    state->callSession(kStart, {});
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
  state_->input(kPointerMotionAbsolute,
                DBusValue::tuple({DBusValue::string(state_->streamPath), DBusValue::real(x), DBusValue::real(y)}));
}

void MutterRemoteDesktop::pointerButton(int32_t evdevButton, bool pressed) {
  state_->input(kPointerButton,
                DBusValue::tuple({DBusValue::int32(evdevButton), DBusValue::boolean(pressed)}));
}

void MutterRemoteDesktop::pointerAxis(double dx, double dy, uint32_t flags) {
  state_->input(kPointerAxis,
                DBusValue::tuple({DBusValue::real(dx), DBusValue::real(dy), DBusValue::uint32(flags)}));
}

void MutterRemoteDesktop::pointerAxisDiscrete(uint32_t axis, int32_t steps) {
  state_->input(kPointerAxisDiscrete, DBusValue::tuple({DBusValue::uint32(axis), DBusValue::int32(steps)}));
}

void MutterRemoteDesktop::keyboardKeycode(uint32_t evdevCode, bool pressed) {
  state_->input(kKeyboardKeycode,
                DBusValue::tuple({DBusValue::uint32(evdevCode), DBusValue::boolean(pressed)}));
}

void MutterRemoteDesktop::touchDown(uint32_t slot, double x, double y) {
  state_->input(kTouchDown, DBusValue::tuple({DBusValue::string(state_->streamPath),
                                                     DBusValue::uint32(slot), DBusValue::real(x),
                                                     DBusValue::real(y)}));
}

void MutterRemoteDesktop::touchMotion(uint32_t slot, double x, double y) {
  state_->input(kTouchMotion, DBusValue::tuple({DBusValue::string(state_->streamPath),
                                                       DBusValue::uint32(slot), DBusValue::real(x),
                                                       DBusValue::real(y)}));
}

void MutterRemoteDesktop::touchUp(uint32_t slot) {
  state_->input(kTouchUp, DBusValue::tuple({DBusValue::uint32(slot)}));
}

void MutterRemoteDesktop::probeAlive(std::function<void()> answered) {
  if (state_->probing.exchange(true)) return;
  std::weak_ptr<State> weak = state_;
  state_->bus->callAsync(state_->mutterName, state_->sessionPath, "org.freedesktop.DBus.Properties", "Get",
                         DBusValue::tuple({DBusValue::string(kSessionId.interface),
                                           DBusValue::string(kSessionId.name)}),
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
    state_->bus->property(state_->mutterName, state_->sessionPath, kSessionId.interface, kSessionId.name, timeoutNs);
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
    state_->callSession(kStop, {});
  } catch (const DBusError&) {
    // Closing the connection below ends the session all the same.
  }
  state_->bus->close();
}

}  // namespace lumenrail
