#include "input/PenInjector.hpp"

#include <time.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "input/InputPermission.hpp"
#include "platform/SerialQueue.hpp"

namespace lumenrail {

namespace {

const char* actionName(PenMapper::Action action) {
  switch (action) {
    case PenMapper::Action::down:
      return "down";
    case PenMapper::Action::drag:
      return "drag";
    case PenMapper::Action::up:
      return "up";
    case PenMapper::Action::hoverMove:
      return "hoverMove";
    case PenMapper::Action::hoverExit:
      return "hoverExit";
  }
  return "?";
}

int64_t phaseValue(FingerGestures::Phase phase) {
  switch (phase) {
    case FingerGestures::Phase::began:
      return EventValue::phaseBegan;
    case FingerGestures::Phase::changed:
      return EventValue::phaseChanged;
    case FingerGestures::Phase::ended:
      return EventValue::phaseEnded;
  }
  return 0;
}

// Doubles from a peer's numbers are bounded before they become integers.
int64_t truncatedInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(v);
}

int64_t roundedInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return std::llround(v);  // halves away from zero
}

int32_t wheelInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

void sleepFor(uint64_t ns) {
  timespec ts{static_cast<time_t>(ns / kNsPerSecond), static_cast<long>(ns % kNsPerSecond)};
  while (nanosleep(&ts, &ts) != 0) {
  }
}

std::string format(const char* fmt, auto... args) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, fmt, args...);
  return buffer;
}

}  // namespace

std::shared_ptr<PenInjector> PenInjector::create(TargetRectFn targetRect, SourceFrameFn sourceFrame,
                                                 std::shared_ptr<PointerOwnership> ownership, int32_t clientId,
                                                 Platform platform) {
  return std::shared_ptr<PenInjector>(new PenInjector(std::move(targetRect), std::move(sourceFrame),
                                                      std::move(ownership), clientId, std::move(platform)));
}

std::shared_ptr<PenInjector> PenInjector::create(TargetRectFn targetRect, SourceFrameFn sourceFrame,
                                                 std::shared_ptr<PointerOwnership> ownership, int32_t clientId) {
  return create(std::move(targetRect), std::move(sourceFrame), std::move(ownership), clientId, Platform{});
}

PenInjector::PenInjector(TargetRectFn targetRect, SourceFrameFn sourceFrame,
                         std::shared_ptr<PointerOwnership> ownership, int32_t clientId, Platform platform)
    : platform_(std::move(platform)),
      targetRect_(std::move(targetRect)),
      sourceFrame_(std::move(sourceFrame)),
      mapper_(Wire::InputCaps{}),
      pacer_(PenPacer::fromInterval(0)),
      ownership_(std::move(ownership)),
      clientId_(clientId),
      inbox_(platform_.inputLimit) {
  if (!platform_.sleepNs) platform_.sleepNs = sleepFor;
  if (!platform_.mainDisplayRefreshHz) platform_.mainDisplayRefreshHz = [] { return 60.0; };
  if (!platform_.doubleClickIntervalSeconds) {
    platform_.doubleClickIntervalSeconds = [] { return defaultDoubleClickSeconds; };
  }
  if (platform_.selfPid == 0) platform_.selfPid = static_cast<int32_t>(::getpid());
  queue_ = platform_.queue ? platform_.queue : std::make_shared<SerialQueue>(queueLabel);
  if (!platform_.now) platform_.now = [queue = queue_.get()] { return queue->nowNs(); };
  const std::optional<std::string_view> fixedRate =
      platform_.penRateHz ? std::optional<std::string_view>(*platform_.penRateHz) : std::nullopt;
  const double hz = PenPacer::pacingRateHz(fixedRate, platform_.mainDisplayRefreshHz());
  pacer_ = PenPacer::fromRate(hz);
  pacerHz_ = hz;
  trace_ = platform_.trace;
}

bool PenInjector::ensureAccessibility(bool /*prompt*/, const std::string& display) {
  return InputPermission::mayPostInput(display);
}

void PenInjector::emit(const std::string& line) const {
  if (onEvent) onEvent(line);
}

bool PenInjector::post(const InputEvent& event) { return platform_.sink && platform_.sink->post(event); }

void PenInjector::submit(std::vector<Wire::InputSample> samples) {
  enqueue(InputInbox::Item{InputInbox::Item::Kind::packet, std::move(samples), {}}, true);
}

void PenInjector::updateCaps(Wire::InputCaps caps) {
  enqueue(InputInbox::Item{InputInbox::Item::Kind::caps, {}, caps}, false);
}

void PenInjector::releaseAll() { enqueue(InputInbox::Item{InputInbox::Item::Kind::release, {}, {}}, false); }

void PenInjector::releaseAndClose() {
  {
    std::lock_guard guard(inboxLock_);
    inboxClosed_ = true;
    inboxRoom_.notify_all();
  }
  // What the client sent before it left still lands, then everything lets go.
  queue_->postAndWait([self = shared_from_this()] {
    if (self->closed_) return;
    self->runQueued(std::numeric_limits<size_t>::max());
    self->releaseAllLocked();
    self->closed_ = true;
  });
}

size_t PenInjector::queuedInput() {
  std::lock_guard guard(inboxLock_);
  return inbox_.size();
}

void PenInjector::enqueue(InputInbox::Item item, bool mayWait) {
  std::unique_lock guard(inboxLock_);
  if (inboxClosed_) return;
  inbox_.push(std::move(item));
  if (!drainArmed_) {
    drainArmed_ = true;
    queue_->post([self = shared_from_this()] { self->drain(); });
  }
  if (mayWait) inboxRoom_.wait(guard, [&] { return inboxClosed_ || !inbox_.overLimit(); });
}

// Runs what was queued when it started, then yields the queue to the
// timers that fell due meanwhile, as if each item had been a task of its own.
void PenInjector::drain() {
  expectOn(*queue_, "PenInjector::drain");
  size_t count = 0;
  {
    std::lock_guard guard(inboxLock_);
    count = inbox_.items();
  }
  runQueued(count);
  std::lock_guard guard(inboxLock_);
  if (inbox_.empty()) {
    drainArmed_ = false;
  } else {
    queue_->post([self = shared_from_this()] { self->drain(); });
  }
}

void PenInjector::runQueued(size_t count) {
  for (; count > 0; --count) {
    std::optional<InputInbox::Item> item;
    {
      std::lock_guard guard(inboxLock_);
      item = inbox_.pop();
    }
    if (!item) return;
    inboxRoom_.notify_all();
    if (closed_) continue;
    switch (item->kind) {
      case InputInbox::Item::Kind::packet:
        handlePacket(item->samples);
        break;
      case InputInbox::Item::Kind::caps:
        releaseAllLocked();
        caps_ = item->caps;
        mapper_ = PenMapper(item->caps);
        break;
      case InputInbox::Item::Kind::release:
        releaseAllLocked();
        break;
    }
  }
}

void PenInjector::handlePacket(const std::vector<Wire::InputSample>& samples) {
  if (trace_) {
    const uint64_t now = platform_.now();
    const double gap = lastSubmitNs_ == 0 ? 0.0 : static_cast<double>(now - lastSubmitNs_) / 1e6;
    lastSubmitNs_ = now;
    std::string list;
    for (size_t i = 0; i < samples.size(); ++i) {
      if (i > 0) list += ",";
      list += std::to_string(samples[i].tDeltaUs / 1000);
    }
    emit(format("pkt +%.1fms n=%d tDeltaMs=[", gap, static_cast<int>(samples.size())) + list + "]");
  }

  if (ownership_ && !ownership_->mayDrive(clientId_)) {
    if (loggedNotOwner_) return;
    loggedNotOwner_ = true;
    emit("input from client " + std::to_string(clientId_) + " ignored — another client is using the pointer");
    return;
  }
  loggedNotOwner_ = false;

  const PenMapper::TargetRect rect = targetRect_ ? targetRect_() : PenMapper::TargetRect{};
  const std::optional<PenMapper::FrameSize> frame = sourceFrame_ ? sourceFrame_() : std::nullopt;

  const uint64_t now = platform_.now();
  retunePacerIfNeeded(now);
  silence_.noteInput(now);

  for (const Wire::InputSample& sample : samples) {
    for (const PenMapper::Event& event : mapper_.mapSample(sample, rect, frame)) {
      for (const PenMapper::Event& ready : pacer_.ingest(event, now)) dispatch(ready);
    }
  }

  scheduleFlush();
  armSilenceTimer();
  yieldIfIdle();
}

void PenInjector::dispatch(const PenMapper::Event& event) {
  if (event.isPen) {
    postPen(event);
    return;
  }
  for (const FingerGestures::Output& output : fingers_.ingest(event, platform_.now())) postGesture(output);
  armFingerTimer();
}

uint64_t PenInjector::delayUntil(uint64_t deadline) const {
  const uint64_t now = platform_.now();
  return deadline > now ? deadline - now : 0;
}

void PenInjector::scheduleFlush() {
  if (flushArmed_) return;
  const std::optional<uint64_t> deadline = pacer_.nextDeadline();
  if (!deadline) return;
  flushArmed_ = true;
  queue_->postAfter(delayUntil(*deadline), [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->closed_) return;
    self->flushArmed_ = false;
    for (const PenMapper::Event& event : self->pacer_.due(self->platform_.now())) self->dispatch(event);
    self->scheduleFlush();
  });
}

void PenInjector::armSilenceTimer() {
  if (silenceTimerArmed_) return;
  const PenMapper::Live live = mapper_.live();
  const std::optional<uint64_t> deadline = silence_.deadline(live);
  if (!live.any() || !deadline) return;
  silenceTimerArmed_ = true;
  queue_->postAfter(delayUntil(*deadline), [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->closed_) return;
    self->silenceTimerArmed_ = false;
    const PenMapper::Live now = self->mapper_.live();
    if (self->silence_.expired(now, self->platform_.now())) {
      self->emit(std::string("input silent with ") + (now.pen ? "the pen" : "a finger") +
                 " still in range or down — released (client gone quiet)");
      self->releaseAllLocked();
    }
    self->armSilenceTimer();
  });
}

void PenInjector::armFingerTimer() {
  if (fingerTimerArmed_) return;
  const std::optional<uint64_t> deadline = fingers_.deadline();
  if (!deadline) return;
  fingerTimerArmed_ = true;
  queue_->postAfter(delayUntil(*deadline), [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self || self->closed_) return;
    self->fingerTimerArmed_ = false;
    for (const FingerGestures::Output& output : self->fingers_.tick(self->platform_.now())) {
      self->postGesture(output);
    }
    self->armFingerTimer();
  });
}

void PenInjector::yieldIfIdle() {
  if (!mapper_.live().any() && ownership_) ownership_->yield(clientId_);
}

void PenInjector::releaseAllLocked() {
  pacer_.reset();
  for (const FingerGestures::Output& output : fingers_.reset()) postGesture(output);
  for (const PenMapper::Event& event : mapper_.releaseAll()) {
    if (event.isPen) postPen(event);
  }
  penButtons_.reset();
  arbiter_.reset();
  for (const auto& [pointerId, type] : proximityType_) postProximity(pointerId, type, false, Point{0, 0});
  proximityType_.clear();
  clicks_.reset();
  scrollCarry_ = Point{};
  fingerButtonPoint_.reset();
  if (ownership_) ownership_->yield(clientId_);
}

void PenInjector::retunePacerIfNeeded(uint64_t now) {
  if (platform_.penRateHz) return;
  if (now - lastRateCheckNs_ <= rateCheckIntervalNs) return;
  if (!strokeStat_.empty()) return;
  lastRateCheckNs_ = now;
  const double hz = platform_.mainDisplayRefreshHz();
  if (hz == pacerHz_) return;
  // Moves the old pacer still holds are the newest positions of their
  // pointers; they go out now rather than vanish with it.
  const std::map<uint8_t, PenMapper::Event> held = pacer_.pending();
  pacerHz_ = hz;
  pacer_ = PenPacer::fromRate(hz);
  emit("pen pacing retuned to " + std::to_string(truncatedInt(hz)) + " Hz (main display refresh)");
  for (const auto& [id, event] : held) dispatch(event);
}

uint64_t PenInjector::capabilityMask() const {
  uint64_t mask = EventValue::capabilityBase;
  if (caps_.axisMask & Wire::InputAxis::pressure) mask |= EventValue::capabilityPressure;
  if (caps_.axisMask & Wire::InputAxis::tilt) mask |= EventValue::capabilityTilt;
  if (caps_.axisMask & Wire::InputAxis::orientation) mask |= EventValue::capabilityRotation;
  return mask;
}

void PenInjector::postProximity(uint8_t pointerId, int64_t pointerType, bool enter, Point at) {
  InputEvent e;
  e.type = EventType::tabletProximity;
  e.location = at;
  e.intFields = {
      {EventField::proximityVendorId, EventValue::vendorId},
      {EventField::proximityTabletId, 1},
      {EventField::proximityPointerId, pointerId},
      {EventField::proximityDeviceId, EventValue::tabletDeviceId},
      {EventField::proximitySystemTabletId, 0},
      {EventField::proximityVendorPointerType, pointerType},
      {EventField::proximityPointerSerial, 1},
      {EventField::proximityUniqueId, EventValue::tabletDeviceId},
      {EventField::proximityCapabilityMask, static_cast<int64_t>(capabilityMask())},
      {EventField::proximityPointerType, pointerType},
      {EventField::proximityEnter, enter ? 1 : 0},
  };
  post(e);  // a proximity event that cannot be made counts as posted
}

void PenInjector::postPen(const PenMapper::Event& event) {
  const Point point{event.x, event.y};
  if (event.action == PenMapper::Action::down) activateBeforePress(point);

  const int64_t type = event.isEraser ? EventValue::pointerTypeEraser : EventValue::pointerTypePen;
  const auto prox = proximityType_.find(event.pointerId);
  const bool announced = prox != proximityType_.end();
  if (!(announced && prox->second == type && event.action != PenMapper::Action::down)) {
    if (announced && prox->second != type) postProximity(event.pointerId, prox->second, false, point);
    postProximity(event.pointerId, type, true, point);
    proximityType_[event.pointerId] = type;
  }

  const PenButtons::Step step = penButtons_.step(event);
  const bool held = penButtons_.anyHeld();
  const uint64_t now = platform_.now();
  const bool fingerWasHeld = arbiter_.fingerHeld;
  if (arbiter_.pen(held, now) && fingerWasHeld) {
    InputEvent up;
    up.type = EventType::leftMouseUp;
    up.location = fingerButtonPoint_.value_or(point);
    up.mouseButton = 0;
    post(up);
    fingerButtonPoint_.reset();
    emit("pen pressed while a finger held the button — finger released");
  }

  InputEvent e;
  std::optional<int64_t> click;
  const bool left = step.button == PenButtons::Button::left;
  switch (step.kind) {
    case PenButtons::Step::Kind::down:
      if (left) {
        e.type = EventType::leftMouseDown;
        click = clickState(PenMapper::Action::down, event.x, event.y);
      } else {
        clicks_.reset();
        e.type = EventType::rightMouseDown;
        click = 1;
      }
      break;
    case PenButtons::Step::Kind::drag:
      e.type = left ? EventType::leftMouseDragged : EventType::rightMouseDragged;
      click = left ? clickState(PenMapper::Action::drag, event.x, event.y) : 1;
      break;
    case PenButtons::Step::Kind::up:
      e.type = left ? EventType::leftMouseUp : EventType::rightMouseUp;
      click = left ? clickState(PenMapper::Action::up, event.x, event.y) : 1;
      break;
    case PenButtons::Step::Kind::move:
      e.type = EventType::mouseMoved;
      break;
  }
  e.location = point;
  e.mouseButton = left ? 0 : 1;
  e.flags = (platform_.sink ? platform_.sink->modifierFlags() : 0) & ModifierFlag::keptMask;
  e.intFields[EventField::mouseSubtype] = EventValue::subtypeTabletPoint;
  if (click) e.intFields[EventField::mouseClickState] = *click;
  e.doubleFields[EventField::mousePressure] = event.pressure;
  e.doubleFields[EventField::tabletPointPressure] = event.pressure;
  e.intFields[EventField::tabletPointX] = roundedInt(event.x);
  e.intFields[EventField::tabletPointY] = roundedInt(event.y);
  const bool tip = event.action == PenMapper::Action::down || event.action == PenMapper::Action::drag;
  e.intFields[EventField::tabletPointButtons] = (tip ? 1 : 0) | (event.barrel ? 2 : 0);
  e.doubleFields[EventField::tabletTiltX] = event.tiltX;
  e.doubleFields[EventField::tabletTiltY] = event.tiltY;
  e.doubleFields[EventField::tabletRotation] = event.rotationDeg;
  e.intFields[EventField::tabletPointDeviceId] = EventValue::tabletDeviceId;

  if (post(e)) {
    logFirstInject(event, "pen");
    accumulateStroke(event);
  } else if (event.action == PenMapper::Action::up) {
    // The stroke ended even though its last event could not be made; an
    // open stroke would hold back every later pacing retune.
    strokeStat_.erase(event.pointerId);
  }

  if (event.action == PenMapper::Action::hoverExit) {
    const auto gone = proximityType_.find(event.pointerId);
    if (gone != proximityType_.end()) {
      const int64_t goneType = gone->second;
      proximityType_.erase(gone);
      postProximity(event.pointerId, goneType, false, point);
    }
  }
}

int64_t PenInjector::clickState(PenMapper::Action action, double x, double y) {
  if (action != PenMapper::Action::down) return std::max<int64_t>(clicks_.count, 1);
  double seconds = platform_.doubleClickIntervalSeconds();
  if (!(seconds > 0)) seconds = 0;
  seconds = std::min(seconds, 60.0);
  const auto interval = static_cast<uint64_t>(seconds * 1e9);
  return clicks_.down(x, y, platform_.now(), interval);
}

void PenInjector::postGesture(const FingerGestures::Output& output) {
  using Kind = FingerGestures::Output::Kind;
  const uint64_t flags = (platform_.sink ? platform_.sink->modifierFlags() : 0) & ModifierFlag::keptMask;
  if (output.kind == Kind::mouse) {
    const PenMapper::Event& event = output.event;
    int64_t type = 0;
    switch (event.action) {
      case PenMapper::Action::down:
        type = EventType::leftMouseDown;
        break;
      case PenMapper::Action::drag:
        type = EventType::leftMouseDragged;
        break;
      case PenMapper::Action::up:
        type = EventType::leftMouseUp;
        break;
      default:
        return;
    }
    if (!arbiter_.finger(event.action, platform_.now())) return;
    InputEvent e;
    e.type = type;
    e.location = Point{event.x, event.y};
    e.mouseButton = 0;
    e.flags = flags;
    e.intFields[EventField::mouseClickState] = clickState(event.action, event.x, event.y);
    if (event.action == PenMapper::Action::up) {
      fingerButtonPoint_.reset();
    } else {
      fingerButtonPoint_ = e.location;
    }
    if (post(e)) logFirstInject(event, "touch");
    return;
  }

  const Point at{output.x, output.y};
  if (output.phase == FingerGestures::Phase::began) {
    InputEvent moved;
    moved.type = EventType::mouseMoved;
    moved.location = at;
    post(moved);
    activateApp(at, "gesture");
  }

  if (output.kind == Kind::scroll) {
    if (output.phase == FingerGestures::Phase::began) scrollCarry_ = Point{};
    const double totalX = output.dx + scrollCarry_.x;
    const double totalY = output.dy + scrollCarry_.y;
    const double wholeX = std::trunc(totalX);
    const double wholeY = std::trunc(totalY);
    scrollCarry_ = Point{totalX - wholeX, totalY - wholeY};
    if (!(scrollCarry_.x == scrollCarry_.x)) scrollCarry_.x = 0;
    if (!(scrollCarry_.y == scrollCarry_.y)) scrollCarry_.y = 0;
    if (output.phase == FingerGestures::Phase::changed && wheelInt(wholeX) == 0 && wheelInt(wholeY) == 0) return;
    InputEvent e;
    e.type = EventType::scrollWheel;
    e.location = at;
    e.wheel1 = wheelInt(wholeY);
    e.wheel2 = wheelInt(wholeX);
    e.wheel3 = 0;
    e.intFields[EventField::scrollIsContinuous] = 1;
    e.intFields[EventField::scrollPhase] = phaseValue(output.phase);
    post(e);
    return;
  }

  InputEvent e;
  e.type = EventType::gesture;
  e.location = at;
  e.intFields[EventField::gesturePhase] = phaseValue(output.phase);
  if (output.kind == Kind::magnify) {
    e.intFields[EventField::gestureSubtype] = EventValue::gestureMagnify;
    e.doubleFields[EventField::gestureMagnification] = output.delta;
  } else {
    e.intFields[EventField::gestureSubtype] = EventValue::gestureRotate;
    e.doubleFields[EventField::gestureRotation] = output.degrees;
  }
  post(e);
}

std::optional<int32_t> PenInjector::activateApp(Point point, const std::string& why) {
  if (!platform_.windows) return std::nullopt;
  const std::optional<WindowActivator::AppWindow> window = platform_.windows->windowAt(point);
  if (!window) return std::nullopt;
  if (window->pid == platform_.selfPid) return std::nullopt;
  if (platform_.windows->isActive(*window)) return std::nullopt;
  const bool ok = platform_.windows->activate(*window);
  const std::string name = window->appName.empty() ? "pid " + std::to_string(window->pid) : window->appName;
  emit(why + ": brought " + name + " to the front (" + (ok ? "ok" : "refused") + ")");
  if (!ok) return std::nullopt;
  return window->pid;
}

void PenInjector::activateBeforePress(Point point) {
  const std::optional<int32_t> pid = activateApp(point, "pen press");
  if (!pid) return;
  for (int i = 0; i < activationPolls; ++i) {
    if (platform_.windows->frontWindowOwner() == pid) return;
    platform_.sleepNs(activationPollNs);
  }
  emit("pen press: app not in front after 100 ms — first stroke may lack pressure");
}

void PenInjector::logFirstInject(const PenMapper::Event& event, const std::string& kind) {
  if (loggedFirstInject_) return;
  loggedFirstInject_ = true;
  emit("first " + kind + " inject: " + actionName(event.action) + " at (" + std::to_string(truncatedInt(event.x)) +
       ", " + std::to_string(truncatedInt(event.y)) + ")" + format(" pressure %.2f", event.pressure));
}

void PenInjector::accumulateStroke(const PenMapper::Event& event) {
  switch (event.action) {
    case PenMapper::Action::down:
      strokeStat_[event.pointerId] = StrokeStat{1, event.pressure, event.pressure};
      break;
    case PenMapper::Action::drag: {
      auto found = strokeStat_.find(event.pointerId);
      if (found == strokeStat_.end()) {
        strokeStat_[event.pointerId] = StrokeStat{1, event.pressure, event.pressure};
      } else {
        found->second.count += 1;
        found->second.min = std::min(found->second.min, event.pressure);
        found->second.max = std::max(found->second.max, event.pressure);
      }
      break;
    }
    case PenMapper::Action::up: {
      const auto found = strokeStat_.find(event.pointerId);
      if (found == strokeStat_.end()) break;
      const StrokeStat stat = found->second;
      strokeStat_.erase(found);
      emit(format("pen stroke: %d samples, pressure %.3f..%.3f", static_cast<int>(stat.count), stat.min, stat.max));
      break;
    }
    case PenMapper::Action::hoverMove:
    case PenMapper::Action::hoverExit:
      break;
  }
}

PenInjectors::PenInjectors(Make make) : make_(std::move(make)), ownership_(std::make_shared<PointerOwnership>()) {}

std::shared_ptr<PenInjector> PenInjectors::injector(int32_t clientId) {
  std::lock_guard guard(lock_);
  const auto found = byClient_.find(clientId);
  if (found != byClient_.end()) return found->second;
  std::shared_ptr<PenInjector> made = make_(clientId, ownership_);
  if (made) byClient_[clientId] = made;
  return made;
}

void PenInjectors::submit(std::vector<Wire::InputSample> samples, int32_t clientId) {
  if (const auto target = injector(clientId)) target->submit(std::move(samples));
}

void PenInjectors::updateCaps(const Wire::InputCaps& caps, int32_t clientId) {
  if (const auto target = injector(clientId)) target->updateCaps(caps);
}

void PenInjectors::clientGone(int32_t clientId) {
  std::shared_ptr<PenInjector> gone;
  {
    std::lock_guard guard(lock_);
    const auto found = byClient_.find(clientId);
    if (found == byClient_.end()) return;
    gone = std::move(found->second);
    byClient_.erase(found);
  }
  gone->releaseAndClose();
}

int64_t PenInjectors::count() const {
  std::lock_guard guard(lock_);
  return static_cast<int64_t>(byClient_.size());
}

}  // namespace lumenrail
