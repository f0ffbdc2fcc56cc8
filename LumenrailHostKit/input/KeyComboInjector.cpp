#include "input/KeyComboInjector.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <utility>

#include "input/InputPermission.hpp"
#include "input/MacKeyCodes.hpp"
#include "platform/SerialQueue.hpp"

namespace lumenrail {

namespace {

struct ModifierRow {
  uint16_t wireBit;
  uint64_t flag;
  uint16_t keyCode;
};

// The wire's ctrl is the shortcut modifier (Control on Linux), its win the
// Super key; ordered as modifier keys are pressed.
constexpr std::array<ModifierRow, 4> kModifiers{{
    {Wire::KeyModifier::ctrl, ModifierFlag::command, MacKeyCodes::command},
    {Wire::KeyModifier::shift, ModifierFlag::shift, MacKeyCodes::shift},
    {Wire::KeyModifier::alt, ModifierFlag::alternate, MacKeyCodes::option},
    {Wire::KeyModifier::win, ModifierFlag::control, MacKeyCodes::control},
}};

constexpr std::pair<uint8_t, uint16_t> kVkToKeyCode[] = {
    {0x41, 0},   {0x42, 11},  {0x43, 8},   {0x44, 2},   {0x45, 14},  {0x46, 3},   {0x47, 5},   {0x48, 4},
    {0x49, 34},  {0x4A, 38},  {0x4B, 40},  {0x4C, 37},  {0x4D, 46},  {0x4E, 45},  {0x4F, 31},  {0x50, 35},
    {0x51, 12},  {0x52, 15},  {0x53, 1},   {0x54, 17},  {0x55, 32},  {0x56, 9},   {0x57, 13},  {0x58, 7},
    {0x59, 16},  {0x5A, 6},   {0x30, 29},  {0x31, 18},  {0x32, 19},  {0x33, 20},  {0x34, 21},  {0x35, 23},
    {0x36, 22},  {0x37, 26},  {0x38, 28},  {0x39, 25},  {0xBA, 41},  {0xBB, 24},  {0xBC, 43},  {0xBD, 27},
    {0xBE, 47},  {0xBF, 44},  {0xC0, 50},  {0xDB, 33},  {0xDC, 42},  {0xDD, 30},  {0xDE, 39},  {0x08, 51},
    {0x09, 48},  {0x0D, 36},  {0x1B, 53},  {0x20, 49},  {0x2E, 117}, {0x21, 116}, {0x22, 121}, {0x23, 119},
    {0x24, 115}, {0x25, 123}, {0x26, 126}, {0x27, 124}, {0x28, 125}, {0x70, 122}, {0x71, 120}, {0x72, 99},
    {0x73, 118}, {0x74, 96},  {0x75, 97},  {0x76, 98},  {0x77, 100}, {0x78, 101}, {0x79, 109}, {0x7A, 103},
    {0x7B, 111},
};
static_assert(std::size(kVkToKeyCode) == 73);

constexpr std::pair<uint8_t, char32_t> kPunctuation[] = {
    {0xBA, U';'}, {0xBB, U'='}, {0xBC, U','}, {0xBD, U'-'},  {0xBE, U'.'}, {0xBF, U'/'},
    {0xC0, U'`'}, {0xDB, U'['}, {0xDC, U'\\'}, {0xDD, U']'}, {0xDE, U'\''},
};

bool isPunctuation(uint8_t vk) {
  return std::any_of(std::begin(kPunctuation), std::end(kPunctuation), [vk](const auto& row) { return row.first == vk; });
}

std::string hex(unsigned value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%x", value);
  return buffer;
}

std::string vkList(const std::vector<uint8_t>& vks) {
  std::string out = "[";
  for (size_t i = 0; i < vks.size(); ++i) {
    if (i > 0) out += ", ";
    out += "\"" + hex(vks[i]) + "\"";
  }
  return out + "]";
}

const char* actionName(Wire::KeyComboAction action) {
  switch (action) {
    case Wire::KeyComboAction::tap:
      return "tap";
    case Wire::KeyComboAction::down:
      return "down";
    case Wire::KeyComboAction::up:
      return "up";
  }
  return "?";
}

}  // namespace

KeyboardLayoutWatcher::KeyboardLayoutWatcher(std::unique_ptr<KeyboardLayoutSource> source)
    : source_(std::move(source)) {}

std::optional<KeyboardLayoutMap> KeyboardLayoutWatcher::map() const {
  std::lock_guard guard(lock_);
  return map_;
}

void KeyboardLayoutWatcher::rebuild() {
  if (!source_) return;
  std::optional<KeyboardLayoutMap> built = source_->current();
  std::lock_guard guard(lock_);
  map_ = std::move(built);
}

void KeyboardLayoutWatcher::poll() {
  if (source_ && source_->changed()) rebuild();
}

std::optional<uint16_t> KeyComboInjector::vkToKeyCode(uint8_t vk) {
  for (const auto& [code, key] : kVkToKeyCode) {
    if (code == vk) return key;
  }
  return std::nullopt;
}

std::optional<KeyboardLayoutMap::Character> KeyComboInjector::vkCharacter(uint8_t vk) {
  if (vk >= 0x41 && vk <= 0x5A) return static_cast<char32_t>(U'a' + (vk - 0x41));
  if (vk >= 0x30 && vk <= 0x39) return static_cast<char32_t>(U'0' + (vk - 0x30));
  for (const auto& [code, c] : kPunctuation) {
    if (code == vk) return c;
  }
  return std::nullopt;
}

uint64_t KeyComboInjector::flags(uint16_t modifiers) {
  uint64_t out = 0;
  for (const ModifierRow& row : kModifiers) {
    if (modifiers & row.wireBit) out |= row.flag;
  }
  return out;
}

std::vector<uint16_t> KeyComboInjector::modifierKeyCodes(uint16_t modifiers) {
  std::vector<uint16_t> out;
  for (const ModifierRow& row : kModifiers) {
    if (modifiers & row.wireBit) out.push_back(row.keyCode);
  }
  return out;
}

std::optional<std::vector<KeyComboInjector::Keystroke>> KeyComboInjector::expand(
    const Wire::KeyChord& chord, const std::optional<KeyboardLayoutMap>& layout) {
  const uint64_t chordFlags = flags(chord.modifiers);
  const KeyboardLayoutMap::Dictionary* dict = nullptr;
  if (layout) dict = (chordFlags & ModifierFlag::command) ? &layout->command : &layout->plain;

  std::vector<KeyboardLayoutMap::Stroke> keys;
  for (const uint8_t vk : chord.vks) {
    std::optional<KeyboardLayoutMap::Stroke> stroke;
    const std::optional<KeyboardLayoutMap::Character> c = vkCharacter(vk);
    if (dict && c && !dict->empty()) {
      const auto found = dict->find(*c);
      if (found != dict->end()) stroke = KeyboardLayoutMap::Stroke{found->second, 0};
    }
    // Punctuation that the layout types only with Shift or AltGr gets them;
    // letters and digits keep their key, so a shortcut never gains a modifier.
    if (!stroke && layout && c && isPunctuation(vk)) stroke = layout->modifiedStroke(*c);
    if (!stroke) {
      if (const std::optional<uint16_t> code = vkToKeyCode(vk)) stroke = KeyboardLayoutMap::Stroke{*code, 0};
    }
    if (!stroke) return std::nullopt;
    keys.push_back(*stroke);
  }

  const bool press = chord.action == Wire::KeyComboAction::tap || chord.action == Wire::KeyComboAction::down;
  const bool lift = chord.action == Wire::KeyComboAction::tap || chord.action == Wire::KeyComboAction::up;
  std::vector<Keystroke> out;
  if (!keys.empty()) {
    if (press) {
      for (const auto& key : keys) out.push_back({key.keyCode, true, chordFlags | key.flags});
    }
    if (lift) {
      for (auto it = keys.rbegin(); it != keys.rend(); ++it) out.push_back({it->keyCode, false, chordFlags | it->flags});
    }
    return out;
  }

  const std::vector<uint16_t> mods = modifierKeyCodes(chord.modifiers);
  uint64_t mask = 0;
  if (chord.action == Wire::KeyComboAction::up) {
    mask = chordFlags;
  } else {
    for (const ModifierRow& row : kModifiers) {
      if (!(chord.modifiers & row.wireBit)) continue;
      mask |= row.flag;
      out.push_back({row.keyCode, true, mask});
    }
    if (chord.action == Wire::KeyComboAction::down) return out;
  }
  for (auto it = kModifiers.rbegin(); it != kModifiers.rend(); ++it) {
    if (!(chord.modifiers & it->wireBit)) continue;
    mask &= ~it->flag;
    out.push_back({it->keyCode, false, mask});
  }
  return out;
}

std::shared_ptr<KeyComboInjector> KeyComboInjector::create(std::shared_ptr<InputEventSink> sink,
                                                           std::unique_ptr<KeyboardLayoutSource> layout,
                                                           std::shared_ptr<Executor> queue, NowNs now) {
  std::shared_ptr<KeyComboInjector> injector(
      new KeyComboInjector(std::move(sink), std::move(layout), std::move(queue), std::move(now)));
  injector->start();
  return injector;
}

KeyComboInjector::KeyComboInjector(std::shared_ptr<InputEventSink> sink,
                                   std::unique_ptr<KeyboardLayoutSource> layout,
                                   std::shared_ptr<Executor> queue, NowNs now)
    : queue_(queue ? std::move(queue) : std::make_shared<SerialQueue>(queueLabel)),
      sink_(std::move(sink)),
      layout_(std::make_shared<KeyboardLayoutWatcher>(std::move(layout))),
      now_(now ? std::move(now) : NowNs([queue = queue_.get()] { return queue->nowNs(); })) {}

bool KeyComboInjector::ensureAccessibility(bool /*prompt*/, const std::string& display) {
  return InputPermission::mayPostInput(display);
}

void KeyComboInjector::start() {
  // The first map is built on the queue: until then chords use the fixed
  // positions, and the caller never waits for the X server.
  queue_->post([layout = layout_] { layout->rebuild(); });
  armLayoutPoll();
}

void KeyComboInjector::armLayoutPoll() {
  if (!layout_->watches()) return;
  queue_->postAfter(KeyboardLayoutWatcher::pollIntervalNs, [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self) return;
    self->layout_->poll();
    self->armLayoutPoll();
  });
}

void KeyComboInjector::emit(const std::string& line) const {
  if (onEvent) onEvent(line);
}

void KeyComboInjector::submit(const Wire::KeyChord& chord, int32_t clientId) {
  std::unique_lock guard(inboxLock_);
  // A flood waits here instead of growing the queue without end.
  inboxRoom_.wait(guard, [&] { return queuedBy_[clientId] < chordLimit; });
  ++queuedBy_[clientId];
  guard.unlock();
  enqueue(Pending{false, chord, clientId, std::nullopt});
}

void KeyComboInjector::releaseAll() { enqueue(Pending{true, {}, noClient, std::nullopt}); }

void KeyComboInjector::releaseAll(int32_t clientId) { enqueue(Pending{true, {}, noClient, clientId}); }

void KeyComboInjector::enqueue(Pending item) {
  std::lock_guard guard(inboxLock_);
  inbox_.push_back(std::move(item));
  if (drainArmed_) return;
  drainArmed_ = true;
  queue_->post([self = shared_from_this()] { self->runInbox(); });
}

// Runs what was queued when it started, then yields the queue to the timers
// that fell due meanwhile.
void KeyComboInjector::runInbox() {
  expectOn(*queue_, "KeyComboInjector::runInbox");
  size_t count = 0;
  {
    std::lock_guard guard(inboxLock_);
    count = inbox_.size();
  }
  runQueued(count);
  std::lock_guard guard(inboxLock_);
  if (inbox_.empty()) {
    drainArmed_ = false;
  } else {
    queue_->post([self = shared_from_this()] { self->runInbox(); });
  }
}

void KeyComboInjector::runQueued(size_t count) {
  for (; count > 0; --count) {
    Pending item;
    {
      std::lock_guard guard(inboxLock_);
      if (inbox_.empty()) break;
      item = std::move(inbox_.front());
      inbox_.pop_front();
      if (!item.isRelease) {
        if (--queuedBy_[item.clientId] == 0) queuedBy_.erase(item.clientId);
        inboxRoom_.notify_all();
      }
    }
    if (item.isRelease) {
      release(item.releaseOf);
    } else {
      handle(item.chord, item.clientId);
    }
  }
}

size_t KeyComboInjector::queuedChords() {
  std::lock_guard guard(inboxLock_);
  size_t count = 0;
  for (const Pending& item : inbox_) count += item.isRelease ? 0 : 1;
  return count;
}

void KeyComboInjector::clientGone(int32_t clientId) {
  {
    // What a departed client left queued never reaches the desktop.
    std::lock_guard guard(inboxLock_);
    std::erase_if(inbox_, [&](const Pending& item) { return !item.isRelease && item.clientId == clientId; });
    queuedBy_.erase(clientId);
    inboxRoom_.notify_all();
  }
  queue_->postAndWait([self = shared_from_this(), clientId] { self->release(clientId); });
  std::lock_guard guard(activityLock_);
  lastInputNs_.erase(clientId);
}

void KeyComboInjector::noteInput(int32_t clientId) {
  const uint64_t now = now_();
  std::lock_guard guard(activityLock_);
  lastInputNs_[clientId] = now;
}

void KeyComboInjector::drain() {
  queue_->postAndWait([self = shared_from_this()] { self->runQueued(std::numeric_limits<size_t>::max()); });
}

void KeyComboInjector::postKey(uint16_t keyCode, bool down, uint64_t flags) {
  if (!sink_) return;
  InputEvent e;
  e.type = down ? EventType::keyDown : EventType::keyUp;
  e.keyCode = keyCode;
  e.flags = flags;
  sink_->post(e);
}

void KeyComboInjector::handle(const Wire::KeyChord& chord, int32_t clientId) {
  noteInput(clientId);
  const std::optional<KeyboardLayoutMap> map = layout_->map();
  const std::optional<std::vector<Keystroke>> strokes = expand(chord, map);
  if (!strokes) {
    emit("dropped unmappable chord: mods=0x" + hex(chord.modifiers) + " vks=" + vkList(chord.vks));
    return;
  }
  for (const Keystroke& stroke : *strokes) {
    postKey(stroke.keyCode, stroke.down, stroke.flags);
    const auto found = std::find_if(held_.begin(), held_.end(),
                                    [&](const HeldKey& h) { return h.keyCode == stroke.keyCode; });
    if (stroke.down) {
      if (found == held_.end()) {
        held_.push_back({stroke.keyCode, {clientId}});
      } else {
        found->holders.insert(clientId);
      }
    } else if (found != held_.end()) {
      held_.erase(found);
    }
  }
  if (!loggedFirstInject_) {
    loggedFirstInject_ = true;
    emit("first key inject: mods=0x" + hex(chord.modifiers) + " action=" + actionName(chord.action) +
         " vks=" + vkList(chord.vks));
  }
  armSilenceTimer();
}

void KeyComboInjector::armSilenceTimer() {
  if (silenceTimerArmed_ || held_.empty()) return;
  std::optional<uint64_t> deadline;
  {
    std::lock_guard guard(activityLock_);
    for (const HeldKey& key : held_) {
      for (const int32_t holder : key.holders) {
        const auto found = lastInputNs_.find(holder);
        const uint64_t due = (found == lastInputNs_.end() ? 0 : found->second) + silenceLimitNs;
        if (!deadline || due < *deadline) deadline = due;
      }
    }
  }
  if (!deadline) return;
  const uint64_t now = now_();
  silenceTimerArmed_ = true;
  queue_->postAfter(*deadline > now ? *deadline - now : 0, [weak = weak_from_this()] {
    const auto self = weak.lock();
    if (!self) return;
    self->silenceTimerArmed_ = false;
    self->releaseSilent();
    self->armSilenceTimer();
  });
}

void KeyComboInjector::releaseSilent() {
  const uint64_t now = now_();
  std::set<int32_t> silent;
  {
    std::lock_guard guard(activityLock_);
    for (const HeldKey& key : held_) {
      for (const int32_t holder : key.holders) {
        const auto found = lastInputNs_.find(holder);
        const uint64_t last = found == lastInputNs_.end() ? 0 : found->second;
        // Input noted on another thread since `now` was read is never silence.
        if (now >= last && now - last >= silenceLimitNs) silent.insert(holder);
      }
    }
  }
  for (const int32_t client : silent) release(client, "client gone quiet");
}

void KeyComboInjector::release(std::optional<int32_t> clientId, const char* why) {
  std::vector<uint16_t> lift;
  for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
    if (clientId) {
      if (!it->holders.erase(*clientId)) continue;
      if (!it->holders.empty()) continue;
    }
    lift.push_back(it->keyCode);
  }
  if (lift.empty()) return;
  emit("released " + std::to_string(lift.size()) + " held key(s) — " + why);
  for (const uint16_t key : lift) postKey(key, false, 0);
  std::erase_if(held_, [&](const HeldKey& h) { return std::find(lift.begin(), lift.end(), h.keyCode) != lift.end(); });
}

}  // namespace lumenrail
