#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "input/InputEventSink.hpp"
#include "input/KeyboardLayoutMap.hpp"
#include "input/KeyboardLayoutSource.hpp"
#include "platform/Clock.hpp"
#include "platform/Executor.hpp"
#include "platform/Log.hpp"
#include "wire/Wire.hpp"

namespace lumenrail {

// Keeps the current keyboard-layout map. The map is built and rebuilt on the
// key injector's queue (there is no main loop in the command-line serve);
// readers copy it under the lock.
class KeyboardLayoutWatcher final {
 public:
  static constexpr uint64_t pollIntervalNs = 250'000'000;

  explicit KeyboardLayoutWatcher(std::unique_ptr<KeyboardLayoutSource> source);

  std::optional<KeyboardLayoutMap> map() const;
  // Builds the map from the source (outside the lock) and stores it.
  void rebuild();
  // Rebuilds when the source reports a change. Same thread as rebuild().
  void poll();
  bool watches() const { return source_ && source_->watches(); }

 private:
  mutable std::mutex lock_;
  std::optional<KeyboardLayoutMap> map_;
  std::unique_ptr<KeyboardLayoutSource> source_;
};

// Posts clients' key chords through the current keyboard layout, on one
// serial queue for all clients of a serving session.
class KeyComboInjector final : public std::enable_shared_from_this<KeyComboInjector> {
 public:
  struct Keystroke {
    uint16_t keyCode = 0;
    bool down = false;
    uint64_t flags = 0;
    bool operator==(const Keystroke&) const = default;
  };

  static constexpr const char* queueLabel = "quillmark.lumenrail.keycombo-inject";
  static constexpr int32_t noClient = -1;
  // A client that holds keys and sends nothing for this long is taken for
  // gone. Far longer than the pen's limit: a held modifier streams nothing,
  // and a user may hold Shift a while before the next tap.
  static constexpr uint64_t silenceLimitNs = 10'000'000'000;
  // Chords one client may have waiting for the queue; a client over it waits
  // in submit(), which holds its connection back. Far more than a hand types.
  static constexpr size_t chordLimit = 256;

  // `layout` may be empty (fixed US positions only). `queue` defaults to a
  // serial queue with the injector's label, `now` to the queue's clock.
  static std::shared_ptr<KeyComboInjector> create(std::shared_ptr<InputEventSink> sink,
                                                  std::unique_ptr<KeyboardLayoutSource> layout,
                                                  std::shared_ptr<Executor> queue = nullptr,
                                                  NowNs now = nullptr);
  KeyComboInjector(const KeyComboInjector&) = delete;
  KeyComboInjector& operator=(const KeyComboInjector&) = delete;

  // Set once before chords arrive.
  Log::Sink onEvent;

  // Waits while this client has chordLimit chords queued.
  void submit(const Wire::KeyChord& chord, int32_t clientId = noClient);
  // Every held key, whoever pressed it.
  void releaseAll();
  // The keys held by this client's chords only; keys another client also
  // holds stay down.
  void releaseAll(int32_t clientId);
  // Drops the client's chords still queued, then its keys as above,
  // returning once the key-ups are posted: a new client on the same
  // descriptor never meets the old one's held keys.
  void clientGone(int32_t clientId);
  // The client sent other input (pen, touch): it is still there, so the
  // keys it holds stay down. Cheap; any thread.
  void noteInput(int32_t clientId);
  // Runs everything queued so far (tests and orderly shutdown).
  void drain();
  // Chords waiting for the queue; any thread.
  size_t queuedChords();

  // Whether this process may post input on the desktop (uinput writable or
  // XTest on `display`). There is no system prompt on Linux; `prompt` is kept
  // for callers written against one.
  static bool ensureAccessibility(bool prompt, const std::string& display = "");

  const KeyboardLayoutWatcher& layout() const { return *layout_; }

  static uint64_t flags(uint16_t modifiers);
  static std::vector<uint16_t> modifierKeyCodes(uint16_t modifiers);
  static std::optional<std::vector<Keystroke>> expand(const Wire::KeyChord& chord,
                                                      const std::optional<KeyboardLayoutMap>& layout);
  static std::optional<uint16_t> vkToKeyCode(uint8_t vk);
  static std::optional<KeyboardLayoutMap::Character> vkCharacter(uint8_t vk);

 private:
  struct HeldKey {
    uint16_t keyCode = 0;
    std::set<int32_t> holders;
  };

  // A chord, or a release (chord empty) kept in order with the chords.
  struct Pending {
    bool isRelease = false;
    Wire::KeyChord chord;
    int32_t clientId = noClient;
    std::optional<int32_t> releaseOf;
  };

  KeyComboInjector(std::shared_ptr<InputEventSink> sink, std::unique_ptr<KeyboardLayoutSource> layout,
                   std::shared_ptr<Executor> queue, NowNs now);
  void start();
  void enqueue(Pending item);
  void runInbox();  // on the queue, posted by enqueue()
  void runQueued(size_t count);
  void armLayoutPoll();
  void handle(const Wire::KeyChord& chord, int32_t clientId);
  void release(std::optional<int32_t> clientId, const char* why = "client gone mid-hold");
  void armSilenceTimer();
  void releaseSilent();
  void postKey(uint16_t keyCode, bool down, uint64_t flags);
  void emit(const std::string& line) const;

  std::shared_ptr<Executor> queue_;
  std::shared_ptr<InputEventSink> sink_;
  bool loggedFirstInject_ = false;
  std::vector<HeldKey> held_;
  std::shared_ptr<KeyboardLayoutWatcher> layout_;
  NowNs now_;
  bool silenceTimerArmed_ = false;
  std::mutex activityLock_;
  std::map<int32_t, uint64_t> lastInputNs_;  // by client, under activityLock_
  // Between the clients' threads and the queue; one task drains it at a time.
  std::mutex inboxLock_;
  std::condition_variable inboxRoom_;
  std::deque<Pending> inbox_;
  std::map<int32_t, size_t> queuedBy_;
  bool drainArmed_ = false;
};

}  // namespace lumenrail
