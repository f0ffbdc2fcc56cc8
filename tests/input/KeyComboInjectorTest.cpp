#include "input/KeyComboInjector.hpp"

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <thread>

#include "InjectionFakes.hpp"
#include "input/KeyStateSync.hpp"
#include "input/XkbKeyboardLayout.hpp"

namespace lumenrail {
namespace {

using Stroke = KeyComboInjector::Keystroke;
using Wire::KeyComboAction;

constexpr uint64_t kCmd = 0x100000;
constexpr uint64_t kShift = 0x20000;

Wire::KeyChord chord(uint16_t mods, KeyComboAction action, std::vector<uint8_t> vks) {
  return Wire::KeyChord{mods, action, std::move(vks)};
}

TEST(KeyComboExpand, FlagsAndModifierKeysFollowTheTable) {
  EXPECT_EQ(KeyComboInjector::flags(1), 0x100000u);
  EXPECT_EQ(KeyComboInjector::flags(2), 0x20000u);
  EXPECT_EQ(KeyComboInjector::flags(4), 0x80000u);
  EXPECT_EQ(KeyComboInjector::flags(8), 0x40000u);
  EXPECT_EQ(KeyComboInjector::flags(0xFFF0), 0u);
  EXPECT_EQ(KeyComboInjector::modifierKeyCodes(0xF), (std::vector<uint16_t>{55, 56, 58, 59}));
  EXPECT_EQ(KeyComboInjector::vkToKeyCode(0x41), 0);
  EXPECT_EQ(KeyComboInjector::vkToKeyCode(0xBA), 41);
  EXPECT_EQ(KeyComboInjector::vkToKeyCode(0x2E), 117);
  EXPECT_EQ(KeyComboInjector::vkToKeyCode(0x7B), 111);
  EXPECT_EQ(KeyComboInjector::vkToKeyCode(0x90), std::nullopt);
}

TEST(KeyComboExpand, TapsDownsUpsAndModifierOnlyChords) {
  EXPECT_EQ(KeyComboInjector::expand(chord(1, KeyComboAction::tap, {0x43}), std::nullopt),
            (std::vector<Stroke>{{8, true, kCmd}, {8, false, kCmd}}));
  EXPECT_EQ(KeyComboInjector::expand(chord(3, KeyComboAction::tap, {}), std::nullopt),
            (std::vector<Stroke>{{55, true, kCmd}, {56, true, kCmd | kShift}, {56, false, kCmd}, {55, false, 0}}));
  EXPECT_EQ(KeyComboInjector::expand(chord(2, KeyComboAction::up, {}), std::nullopt),
            (std::vector<Stroke>{{56, false, 0}}));
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::down, {0x41, 0x42}), std::nullopt),
            (std::vector<Stroke>{{0, true, 0}, {11, true, 0}}));
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::up, {0x41, 0x42}), std::nullopt),
            (std::vector<Stroke>{{11, false, 0}, {0, false, 0}}));
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::tap, {}), std::nullopt), std::vector<Stroke>{});
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::tap, {0x41, 0x90}), std::nullopt), std::nullopt);
}

TEST(KeyComboExpand, LayoutMapIsAskedFirstAndCommandUsesItsOwnMap) {
  KeyboardLayoutMap map({{U'a', 12}, {U'1', 99}}, KeyboardLayoutMap::Dictionary{{U'c', 20}});
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::down, {0x41}), map), (std::vector<Stroke>{{12, true, 0}}));
  // With ctrl the command map decides; a character missing there takes the fixed table.
  EXPECT_EQ(KeyComboInjector::expand(chord(1, KeyComboAction::down, {0x43, 0x41}), map),
            (std::vector<Stroke>{{20, true, kCmd}, {0, true, kCmd}}));
  // Keys without a character always use the fixed table.
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::down, {0x0D}), map), (std::vector<Stroke>{{36, true, 0}}));
}

TEST(KeyboardLayoutMapReverse, LowestCodeWinsAndOnlySingleCharactersCount) {
  const auto dict = KeyboardLayoutMap::reverse([](uint16_t code) -> std::optional<std::u32string> {
    switch (code) {
      case 3:
        return U"X";
      case 5:
        return U"x";
      case 7:
        return U"ab";
      case 9:
        return U"";
      case 51:
        return U"z";  // beyond the translated range
      default:
        return std::nullopt;
    }
  });
  EXPECT_EQ(dict, (KeyboardLayoutMap::Dictionary{{U'x', 3}}));
}

TEST(KeyboardLayoutXkb, FrenchLayoutTypesAFromTheUsQPosition) {
  const auto us = XkbKeyboardLayout::mapFromNames("us");
  const auto fr = XkbKeyboardLayout::mapFromNames("fr");
  if (!us || !fr) GTEST_SKIP() << "xkeyboard-config layouts are not installed (xkb-data)";
  EXPECT_EQ(us->keyCode(U'a', false), 0);
  EXPECT_EQ(us->keyCode(U'1', false), 18);
  EXPECT_EQ(fr->keyCode(U'a', false), 12);
  EXPECT_EQ(fr->keyCode(U'q', false), 0);
  EXPECT_EQ(fr->keyCode(U'a', true), 12);  // Control keeps the letter
  EXPECT_EQ(fr->keyCode(U'1', false), std::nullopt);  // digits need Shift there

  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::tap, {0x41}), fr),
            (std::vector<Stroke>{{12, true, 0}, {12, false, 0}}));
  EXPECT_EQ(KeyComboInjector::expand(chord(0, KeyComboAction::tap, {0x31}), fr),
            (std::vector<Stroke>{{18, true, 0}, {18, false, 0}}));
}

struct KeyRig {
  std::shared_ptr<test::ManualExecutor> queue = std::make_shared<test::ManualExecutor>();
  std::shared_ptr<test::RecordingSink> sink = std::make_shared<test::RecordingSink>();
  std::vector<std::string> lines;
  std::shared_ptr<KeyComboInjector> keys;

  explicit KeyRig(std::unique_ptr<KeyboardLayoutSource> layout = nullptr) {
    keys = KeyComboInjector::create(sink, std::move(layout), queue);
    keys->onEvent = [this](const std::string& l) { lines.push_back(l); };
  }
  std::vector<std::pair<uint16_t, bool>> strokes() {
    std::vector<std::pair<uint16_t, bool>> out;
    for (const auto& e : sink->take()) out.emplace_back(e.keyCode, e.type == 10);
    return out;
  }
};

TEST(KeyComboInjectorQueue, FirstChordsUseTheFixedTableUntilTheLayoutIsBuilt) {
  KeyRig rig(XkbKeyboardLayout::namedSource("fr"));
  EXPECT_EQ(rig.keys->layout().map(), std::nullopt);
  rig.queue->runReady();
  if (!rig.keys->layout().map()) GTEST_SKIP() << "no French layout (xkb-data)";
  rig.keys->submit(chord(0, KeyComboAction::tap, {0x41}));
  rig.queue->runReady();
  EXPECT_EQ(rig.strokes(), (std::vector<std::pair<uint16_t, bool>>{{12, true}, {12, false}}));
}

TEST(KeyComboInjectorQueue, LinesAndHeldKeysAcrossChords) {
  KeyRig rig;
  rig.keys->submit(chord(0, KeyComboAction::tap, {}));
  rig.keys->submit(chord(0x3, KeyComboAction::tap, {0x41, 0x90}));
  rig.keys->submit(chord(0, KeyComboAction::down, {0x41, 0x41}));
  rig.keys->releaseAll();
  rig.keys->releaseAll();
  rig.queue->runReady();
  EXPECT_EQ(rig.lines, (std::vector<std::string>{
                           "first key inject: mods=0x0 action=tap vks=[]",
                           "dropped unmappable chord: mods=0x3 vks=[\"41\", \"90\"]",
                           "released 1 held key(s) — client gone mid-hold",
                       }));
  const auto events = rig.sink->events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].type, 11);
  EXPECT_EQ(events[2].keyCode, 0);
  EXPECT_EQ(events[2].flags, 0u);
}

TEST(KeyComboInjectorQueue, DepartureReleasesOnlyTheDepartedClientsKeys) {
  KeyRig rig;
  rig.keys->submit(chord(2, KeyComboAction::down, {}), 5);        // client 5 holds Shift
  rig.keys->submit(chord(0, KeyComboAction::down, {0x41}), 6);    // client 6 holds A
  rig.keys->submit(chord(0, KeyComboAction::down, {0x42}), 5);    // client 5 holds B
  rig.keys->submit(chord(0, KeyComboAction::down, {0x43}), 5);    // C, held by both
  rig.keys->submit(chord(0, KeyComboAction::down, {0x43}), 6);
  rig.queue->runReady();
  rig.sink->take();
  rig.keys->releaseAll(5);
  rig.queue->runReady();
  // Reverse order of pressing: B, then Shift; A and C stay down for client 6.
  EXPECT_EQ(rig.strokes(), (std::vector<std::pair<uint16_t, bool>>{{11, false}, {56, false}}));
  EXPECT_EQ(rig.lines.back(), "released 2 held key(s) — client gone mid-hold");
  rig.keys->releaseAll(7);
  rig.queue->runReady();
  EXPECT_TRUE(rig.strokes().empty());
  rig.keys->releaseAll(6);
  rig.queue->runReady();
  EXPECT_EQ(rig.strokes(), (std::vector<std::pair<uint16_t, bool>>{{8, false}, {0, false}}));
}

// A client that holds keys and then sends nothing at all is taken for gone;
// pen or touch input of its own keeps its keys down.
TEST(KeyComboInjectorQueue, KeysOfAClientThatFallsSilentAreReleased) {
  constexpr uint64_t kMs = 1'000'000;
  KeyRig rig;
  rig.keys->submit(chord(2, KeyComboAction::down, {}), 5);      // client 5 holds Shift
  rig.keys->submit(chord(0, KeyComboAction::down, {0x41}), 6);  // client 6 holds A
  rig.queue->runReady();
  rig.sink->take();
  constexpr uint64_t kLimit = KeyComboInjector::silenceLimitNs;
  for (uint64_t t = 0; t < kLimit; t += 500 * kMs) {
    rig.queue->advance(500 * kMs);
    rig.keys->noteInput(6);  // client 6 draws with the pen meanwhile
  }
  EXPECT_EQ(rig.strokes(), (std::vector<std::pair<uint16_t, bool>>{{56, false}}));
  EXPECT_EQ(rig.lines.back(), "released 1 held key(s) — client gone quiet");
  rig.queue->advance(kLimit - 1 * kMs);
  EXPECT_TRUE(rig.strokes().empty());
  rig.queue->advance(1 * kMs);
  EXPECT_EQ(rig.strokes(), (std::vector<std::pair<uint16_t, bool>>{{0, false}}));
  // Nothing held, nothing armed: silence releases nothing more.
  rig.queue->advance(10'000 * kMs);
  EXPECT_TRUE(rig.strokes().empty());
  EXPECT_EQ(rig.queue->pending(), 0u);
}

TEST(KeyComboInjectorQueue, ClientGoneReturnsAfterTheKeyUpsOnTheRealQueue) {
  auto sink = std::make_shared<test::RecordingSink>();
  auto keys = KeyComboInjector::create(sink, nullptr);
  keys->submit(chord(1, KeyComboAction::down, {0x53}), 4);
  keys->drain();
  keys->clientGone(4);
  const auto events = sink->events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].type, 11);
  EXPECT_EQ(events[1].keyCode, 1);
  EXPECT_EQ(events[1].flags, 0u);
}

TEST(KeyComboInjectorQueue, DepartureDropsTheClientsQueuedChordsAndReleasesItsKeys) {
  KeyRig rig;
  rig.keys->submit(chord(2, KeyComboAction::down, {}), 5);  // client 5 holds Shift
  rig.queue->runReady();
  rig.sink->take();
  for (size_t i = 0; i < KeyComboInjector::chordLimit; ++i) {
    rig.keys->submit(chord(0, KeyComboAction::tap, {0x41}), 5);
  }
  rig.keys->submit(chord(0, KeyComboAction::tap, {0x42}), 6);
  EXPECT_EQ(rig.keys->queuedChords(), KeyComboInjector::chordLimit + 1);
  rig.keys->clientGone(5);
  // Client 6's B goes through; none of client 5's A taps, and its Shift is let go.
  EXPECT_EQ(rig.strokes(), (std::vector<std::pair<uint16_t, bool>>{{11, true}, {11, false}, {56, false}}));
  EXPECT_EQ(rig.lines.back(), "released 1 held key(s) — client gone mid-hold");
  EXPECT_EQ(rig.keys->queuedChords(), 0u);
}

// A client floods chords on a real queue and never stops sending until it
// leaves: the queue stays bounded (the client waits instead), and once the
// departure returns nothing more reaches the desktop and no key stays down.
TEST(KeyComboInjectorFlood, AClientThatNeverStopsIsHeldBackAndPressesNothingAfterItLeaves) {
  constexpr int32_t kClient = 9;
  auto sink = std::make_shared<test::RecordingSink>();
  auto keys = KeyComboInjector::create(sink, nullptr);
  size_t mostQueued = 0;
  size_t postedAtDeparture = 0;
  std::thread client([&] {
    keys->submit(chord(2, KeyComboAction::down, {}), kClient);  // Shift held throughout
    for (uint64_t n = 0; sink->count() < 20'000; ++n) {
      keys->submit(chord(0, n % 64 == 0 ? KeyComboAction::down : KeyComboAction::tap, {0x41}), kClient);
      mostQueued = std::max(mostQueued, keys->queuedChords());
    }
    keys->clientGone(kClient);
    postedAtDeparture = sink->count();
  });
  client.join();
  keys->drain();
  EXPECT_LE(mostQueued, KeyComboInjector::chordLimit);
  const auto events = sink->events();
  EXPECT_EQ(events.size(), postedAtDeparture);
  KeyStateSync sync;
  for (const auto& e : events) sync.apply(e.keyCode, e.type == 10, e.flags);
  EXPECT_TRUE(sync.keysDown().empty());
  EXPECT_TRUE(sync.modifiersDown().empty());
}

TEST(KeyStateSyncTest, ModifierFlagsBecomeHeldKeysAndNothingStaysStuck) {
  KeyStateSync sync;
  using A = KeyStateSync::KeyAction;
  // ctrl+C tap: Control pressed around C and released after it.
  auto a = sync.apply(8, true, kCmd);
  EXPECT_EQ(a, (std::vector<A>{{KEY_LEFTCTRL, true}, {KEY_C, true}}));
  a = sync.apply(8, false, kCmd);
  EXPECT_EQ(a, (std::vector<A>{{KEY_C, false}, {KEY_LEFTCTRL, false}}));
  // Modifier-only tap ctrl+shift, in the order the injector posts it.
  std::vector<A> all;
  const auto tap = KeyComboInjector::expand(chord(3, KeyComboAction::tap, {}), std::nullopt);
  ASSERT_TRUE(tap);
  for (const Stroke& s : *tap) {
    for (const A& x : sync.apply(s.keyCode, s.down, s.flags)) all.push_back(x);
  }
  EXPECT_EQ(all, (std::vector<A>{{KEY_LEFTCTRL, true}, {KEY_LEFTSHIFT, true}, {KEY_LEFTSHIFT, false}, {KEY_LEFTCTRL, false}}));
  // A held Shift survives a key tap and is released by its own up.
  sync.apply(56, true, kShift);
  sync.apply(0, true, kShift);
  sync.apply(0, false, kShift);
  EXPECT_EQ(sync.modifiersDown(), (std::set<uint16_t>{KEY_LEFTSHIFT}));
  sync.apply(56, false, 0);
  EXPECT_TRUE(sync.modifiersDown().empty());
  EXPECT_TRUE(sync.keysDown().empty());
  // Super for the wire's win; unknown positions post nothing.
  EXPECT_EQ(sync.apply(59, true, 0x40000), (std::vector<A>{{KEY_LEFTMETA, true}}));
  EXPECT_TRUE(sync.apply(200, true, 0).empty());
  // The key's flags rule while it is down: Super (not in them) goes up.
  EXPECT_EQ(sync.apply(0, true, kCmd), (std::vector<A>{{KEY_LEFTMETA, false}, {KEY_LEFTCTRL, true}, {KEY_A, true}}));
  EXPECT_EQ(sync.releaseEverything(), (std::vector<A>{{KEY_A, false}, {KEY_LEFTCTRL, false}}));
  EXPECT_TRUE(sync.modifiersDown().empty());
}

TEST(KeyStateSyncTest, ChordsThenDepartureLeaveNoKeyDown) {
  // Every chord shape, in many orders, followed by the departure release.
  const std::vector<Wire::KeyChord> chords{
      chord(1, KeyComboAction::down, {0x43}), chord(2, KeyComboAction::down, {}),
      chord(0, KeyComboAction::tap, {0x41}),  chord(5, KeyComboAction::tap, {0x44}),
      chord(8, KeyComboAction::down, {}),     chord(1, KeyComboAction::up, {0x43}),
      chord(0xF, KeyComboAction::tap, {}),    chord(0, KeyComboAction::down, {0x0D, 0x41}),
  };
  for (size_t start = 0; start < chords.size(); ++start) {
    auto sink = std::make_shared<test::RecordingSink>();
    auto queue = std::make_shared<test::ManualExecutor>();
    auto keys = KeyComboInjector::create(sink, nullptr, queue);
    for (size_t i = 0; i < chords.size(); ++i) keys->submit(chords[(start + i) % chords.size()]);
    keys->releaseAll();
    queue->runReady();
    KeyStateSync sync;
    for (const auto& e : sink->events()) sync.apply(e.keyCode, e.type == 10, e.flags);
    EXPECT_TRUE(sync.keysDown().empty()) << "start " << start;
    EXPECT_TRUE(sync.modifiersDown().empty()) << "start " << start;
  }
}

}  // namespace
}  // namespace lumenrail
