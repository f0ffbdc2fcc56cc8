// Pen, touch and key packets over the wire, through the session's real
// injectors, down to the events the fake desktop's sink records.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "SessionTestRig.hpp"

namespace lumenrail {
namespace {

using test::RawBytes;

struct Pointer {
  uint8_t id = 0;
  uint8_t tool = 0;   // pen 0, eraser 1, finger 2
  uint8_t flags = 0;  // inRange 1, inContact 2, barrel 4
  uint16_t x = 0;
  uint16_t y = 0;
  uint16_t pressure = 0;
};

// One Input payload of single-pointer samples, laid out from the protocol table.
RawBytes inputPayload(const std::vector<Pointer>& samples) {
  RawBytes b{static_cast<uint8_t>(samples.size()), 0};
  for (const Pointer& p : samples) {
    test::putLE32(b, 0);
    b.insert(b.end(), {1, 0, 0, 0});
    b.insert(b.end(), {p.id, p.tool, p.flags, 0});
    test::putLE16(b, p.x);
    test::putLE16(b, p.y);
    test::putLE16(b, p.pressure);
    test::putLE16(b, 0);
    test::putLE16(b, 0);
    test::putLE16(b, 0);
  }
  return b;
}

RawBytes keyComboPayload(uint16_t modifiers, uint8_t action, const std::vector<uint8_t>& vks) {
  RawBytes b;
  test::putLE16(b, modifiers);
  b.push_back(action);
  b.push_back(static_cast<uint8_t>(vks.size()));
  b.insert(b.end(), vks.begin(), vks.end());
  return b;
}

bool near(Point p, double x, double y) { return std::abs(p.x - x) <= 1.5 && std::abs(p.y - y) <= 1.5; }

// The first event of `type` at or after `from`, as an index; -1 when none.
int indexOf(const std::vector<InputEvent>& events, int64_t type, size_t from = 0) {
  for (size_t i = from; i < events.size(); ++i) {
    if (events[i].type == type) return static_cast<int>(i);
  }
  return -1;
}

TEST(SessionInputIntegration, PenTouchAndKeysReachTheDesktopSinkOnTheVirtualDisplay) {
  // Extend: the 640x480 stream is the virtual display right of the 1920-wide main one.
  test::Rig rig({640, 480, 30}, false);
  ASSERT_TRUE(rig.start());
  ASSERT_NE(rig.pipeline->virtualDisplayID(), 0u);
  auto client = rig.connect();
  auto& sink = *rig.desktop->sink;
  const auto has = [&](int64_t type, size_t from = 0) {
    return test::eventually([&] { return indexOf(sink.events(), type, from) >= 0; });
  };

  // A finger tap a quarter across: a plain click there.
  ASSERT_TRUE(client.send(test::Code::input, inputPayload({{1, 2, 3, 16384, 32768, 0}, {1, 2, 0, 16384, 32768, 0}})));
  ASSERT_TRUE(has(EventType::leftMouseUp));
  auto events = sink.events();
  const int fingerDown = indexOf(events, EventType::leftMouseDown);
  ASSERT_GE(fingerDown, 0);
  EXPECT_TRUE(near(events[fingerDown].location, 1920 + 160, 240)) << events[fingerDown].location.x;
  EXPECT_FALSE(events[fingerDown].intField(EventField::mouseSubtype).has_value());
  const size_t afterTouch = events.size();

  // A pen contact at the centre of the stream lands at the virtual display's
  // centre as a tablet press with pressure, announced by its proximity.
  ASSERT_TRUE(client.send(test::Code::input, inputPayload({{2, 0, 3, 32768, 32768, 40000}})));
  ASSERT_TRUE(has(EventType::leftMouseDown, afterTouch));
  events = sink.events();
  const int penDown = indexOf(events, EventType::leftMouseDown, afterTouch);
  const InputEvent& press = events[penDown];
  EXPECT_TRUE(near(press.location, 1920 + 320, 240)) << press.location.x << "," << press.location.y;
  EXPECT_EQ(press.intField(EventField::mouseSubtype), EventValue::subtypeTabletPoint);
  EXPECT_GT(press.doubleField(EventField::tabletPointPressure).value_or(0), 0.0);
  const int proximity = indexOf(events, EventType::tabletProximity, afterTouch);
  ASSERT_GE(proximity, 0);
  EXPECT_LT(proximity, penDown);
  EXPECT_EQ(events[proximity].intField(EventField::proximityPointerType), EventValue::pointerTypePen);

  // Ctrl+C as a tap: the C key pressed and released with Control held.
  const auto isC = [](int64_t type) {
    return [type](const InputEvent& e) { return e.type == type && e.keyCode == 8; };
  };
  ASSERT_TRUE(client.send(test::Code::keyCombo, keyComboPayload(Wire::KeyModifier::ctrl, 0, {0x43})));
  ASSERT_TRUE(test::eventually([&] {
    const auto now = sink.events();
    return std::any_of(now.begin(), now.end(), isC(EventType::keyUp));
  }));
  events = sink.events();
  const auto keyDown = std::find_if(events.begin(), events.end(), isC(EventType::keyDown));
  ASSERT_NE(keyDown, events.end());
  EXPECT_NE(keyDown->flags & ModifierFlag::command, 0u);
}

// The warning gives the desktop's own reason, and a remedy only where it has one.
TEST(SessionInputIntegration, WithoutInputAccessTheStartSaysWhyInTheDesktopsWords) {
  test::Rig rig;
  rig.desktop->inputAllowed = false;
  ASSERT_TRUE(rig.start());
  const auto lines = rig.log.lines();
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "[pen] WARN: no input access (fake: input refused) — pen/touch + key input will be DROPPED."),
            lines.end());
}

}  // namespace
}  // namespace lumenrail
