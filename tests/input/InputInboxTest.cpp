#include "input/InputInbox.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "InjectionFakes.hpp"
#include "input/PenInjector.hpp"
#include "support/Waiting.hpp"

namespace lumenrail {
namespace {

using test::kHover;
using test::kTouch;
using test::pointer;
using Wire::PenTool;
using Item = InputInbox::Item;

Item one(Wire::InputPointer p) { return Item{Item::Kind::packet, {Wire::InputSample{0, {p}}}, {}}; }

// The pointer's state per sample, with repeats collapsed: the presses,
// releases and tool changes the mapper will see.
std::vector<std::pair<uint8_t, uint8_t>> transitions(const std::vector<Wire::InputPointer>& samples) {
  std::vector<std::pair<uint8_t, uint8_t>> out;
  for (const auto& p : samples) {
    const std::pair<uint8_t, uint8_t> state{static_cast<uint8_t>(p.tool), p.flags};
    if (out.empty() || out.back() != state) out.push_back(state);
  }
  return out;
}

TEST(InputInbox, AFloodLosesSupersededMovesHoverFirstAndNeverATransition) {
  constexpr size_t kLimit = 8;
  InputInbox inbox(kLimit);
  struct Run {
    PenTool tool;
    uint8_t flags;
    int length;
  };
  std::vector<Wire::InputPointer> sent;
  uint16_t x = 0;
  for (const Run& run : std::vector<Run>{{PenTool::pen, kHover, 30},
                                         {PenTool::pen, kTouch, 3},
                                         {PenTool::pen, kTouch | Wire::PenFlag::barrel, 20},
                                         {PenTool::pen, kHover, 30},
                                         {PenTool::eraser, kHover, 10},
                                         {PenTool::eraser, kTouch, 40}}) {
    for (int i = 0; i < run.length; ++i) {
      sent.push_back(pointer(1, run.tool, run.flags, ++x, 100));
      inbox.push(one(sent.back()));
      EXPECT_LE(inbox.size(), kLimit);
    }
    if (run.flags == kTouch && run.length == 3) {
      // Hover moves went first: the three contact samples are all still there.
      std::vector<uint16_t> contactXs;
      InputInbox copy = inbox;
      while (auto item = copy.pop()) {
        if (item->samples[0].pointers[0].flags == kTouch) contactXs.push_back(item->samples[0].pointers[0].xNorm);
      }
      EXPECT_EQ(contactXs, (std::vector<uint16_t>{31, 32, 33}));
    }
  }
  // Caps are never dropped and start a fresh chain: the sample after them
  // is a new arrival, kept like a press.
  for (uint32_t axes = 0; axes < 100; ++axes) {
    inbox.push(Item{Item::Kind::release, {}, {}});
    inbox.push(Item{Item::Kind::caps, {}, Wire::InputCaps{axes, 0, 0}});  // the last caps win, once
  }
  inbox.push(one(pointer(1, PenTool::eraser, kTouch, 500, 100)));
  inbox.push(one(pointer(1, PenTool::eraser, kTouch, 501, 100)));

  std::vector<Wire::InputPointer> got;
  int caps = 0;
  while (auto item = inbox.pop()) {
    if (item->kind != Item::Kind::packet) {
      EXPECT_EQ(item->kind, Item::Kind::caps);
      EXPECT_EQ(item->caps.axisMask, 99u);
      ++caps;
      continue;
    }
    for (const auto& s : item->samples) got.push_back(s.pointers[0]);
  }
  EXPECT_EQ(caps, 1);
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[got.size() - 2].xNorm, 500);
  EXPECT_EQ(got.back().xNorm, 501);
  got.resize(got.size() - 2);
  EXPECT_EQ(transitions(got), transitions(sent));
  EXPECT_EQ(got.back().xNorm, sent.back().xNorm);  // the newest position survives
  EXPECT_EQ(inbox.dropped(), sent.size() - got.size());
  EXPECT_EQ(inbox.size(), 0u);
}

// A sink the test holds shut: the injector's queue stops inside it.
class GatedSink final : public InputEventSink {
 public:
  bool post(const InputEvent& e) override {
    std::unique_lock guard(lock_);
    entered_ = true;
    changed_.notify_all();
    changed_.wait(guard, [&] { return open_; });
    if (e.type == EventType::leftMouseDown || e.type == EventType::leftMouseUp) buttons_.push_back(e.type);
    return true;
  }
  uint64_t modifierFlags() override { return 0; }
  void open() {
    std::lock_guard guard(lock_);
    open_ = true;
    changed_.notify_all();
  }
  bool waitEntered() {
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, std::chrono::nanoseconds(test::kDeadlineNs), [&] { return entered_; });
  }
  std::vector<int64_t> buttons() {
    std::lock_guard guard(lock_);
    return buttons_;
  }

 private:
  std::mutex lock_;
  std::condition_variable changed_;
  bool entered_ = false;
  bool open_ = false;
  std::vector<int64_t> buttons_;
};

// Taps alone cannot be dropped: a client that sends them faster than they
// are posted is held back at the bound, and every press and release arrives.
TEST(InputInboxInjector, TapsOverTheBoundHoldTheClientBackAndAllArrive) {
  constexpr size_t kLimit = 16;
  constexpr int kTaps = 200;
  auto sink = std::make_shared<GatedSink>();
  PenInjector::Platform platform;
  platform.sink = sink;
  platform.inputLimit = kLimit;
  // A clock that stands still: no silence release however slow the machine.
  platform.now = [] { return uint64_t{1'000'000'000}; };
  platform.penRateHz = "0";
  auto injector = PenInjector::create([] { return Rect{0, 0, 1000, 1000}; }, [] { return std::optional<Size>(); },
                                      nullptr, 3, platform);
  std::atomic<size_t> most{0};
  std::atomic<bool> finished{false};
  std::thread client([&] {
    for (int i = 0; i < kTaps; ++i) {
      for (const uint8_t flags : {kTouch, kHover}) {
        injector->submit(test::packet({pointer(1, PenTool::pen, flags, 100, 100, 30000)}));
        most = std::max(most.load(), injector->queuedInput());
      }
    }
    finished = true;
  });
  ASSERT_TRUE(sink->waitEntered());
  ASSERT_TRUE(test::eventually([&] { return injector->queuedInput() >= kLimit; }));
  EXPECT_FALSE(finished.load());
  sink->open();
  client.join();
  injector->releaseAndClose();
  EXPECT_LE(most.load(), kLimit + 1);
  const std::vector<int64_t> buttons = sink->buttons();
  ASSERT_EQ(buttons.size(), 2u * kTaps);
  for (size_t i = 0; i < buttons.size(); ++i) {
    ASSERT_EQ(buttons[i], i % 2 ? EventType::leftMouseUp : EventType::leftMouseDown) << i;
  }
}

}  // namespace
}  // namespace lumenrail
