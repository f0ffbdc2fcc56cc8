// Client samples through the real PenInjector into the uinput sink, with the
// devices replaced by a recorder that reads the evdev frames back the way
// libinput and X read them.

#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cmath>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "InjectionFakes.hpp"
#include "input/PenInjector.hpp"
#include "input/UinputInputSink.hpp"

namespace lumenrail {
namespace {

using test::kHover;
using test::kTouch;
using test::packet;
using test::pointer;
using Wire::PenTool;
using D = UinputEventPlanner::Device;

constexpr uint64_t kMs = 1'000'000;
constexpr uint8_t kBarrel = Wire::PenFlag::barrel;
// libinput's tip threshold for a tablet with a pressure axis.
constexpr double kTipDown = 0.05 * UinputEventPlanner::pressureMax;

// What the devices have been told, frame by frame.
struct Evdev {
  struct DeviceState {
    std::map<uint16_t, int32_t> keys;
    std::map<uint16_t, int32_t> abs;
    std::vector<UinputEventPlanner::Write> frame;
  };
  std::map<D, DeviceState> devices;
  std::vector<std::string> faults;
  std::vector<int32_t> tipPressures;  // ABS_PRESSURE of every tablet frame with the tip down
  int absZWrites = 0;

  int32_t key(D d, uint16_t code) { return devices[d].keys[code]; }
  int32_t abs(D d, uint16_t code) { return devices[d].abs[code]; }
  bool tabletInProximity() { return key(D::tablet, BTN_TOOL_PEN) || key(D::tablet, BTN_TOOL_RUBBER); }

  // The X buttons held as libinput reads the devices: the tablet's tip from
  // its pressure alone, BTN_STYLUS as 2, BTN_STYLUS2 as 3, and nothing out of
  // proximity.
  std::set<int> xButtons() {
    std::set<int> held;
    if (tabletInProximity()) {
      if (abs(D::tablet, ABS_PRESSURE) > kTipDown) held.insert(1);
      if (key(D::tablet, BTN_STYLUS)) held.insert(2);
      if (key(D::tablet, BTN_STYLUS2)) held.insert(3);
    }
    if (key(D::pointer, BTN_LEFT)) held.insert(1);
    if (key(D::pointer, BTN_RIGHT)) held.insert(3);
    return held;
  }

  bool anythingDown() {
    for (auto& [d, state] : devices) {
      for (const auto& [code, value] : state.keys) {
        if (value != 0) return true;
      }
    }
    return false;
  }

  void write(D d, uint16_t type, uint16_t code, int32_t value) {
    DeviceState& state = devices[d];
    if (type != EV_SYN) {
      state.frame.push_back({d, type, code, value});
      return;
    }
    for (const auto& w : state.frame) {
      (w.type == EV_KEY ? state.keys : state.abs)[w.code] = w.value;
      if (w.type == EV_ABS && w.code == ABS_Z) ++absZWrites;
    }
    state.frame.clear();
    if (d != D::tablet) return;
    const int32_t pressure = state.abs[ABS_PRESSURE];
    if (state.keys[BTN_TOUCH]) tipPressures.push_back(pressure);
    // Both together: a lift sends its zero pressure and BTN_TOUCH 0 in one frame.
    if (state.keys[BTN_TOUCH] && pressure <= kTipDown) faults.push_back("tip at pressure " + std::to_string(pressure));
    if (!state.keys[BTN_TOUCH] && pressure != 0) faults.push_back("no tip at pressure " + std::to_string(pressure));
  }
};

class RecordingDevices final : public UinputInputSink::Devices {
 public:
  explicit RecordingDevices(std::shared_ptr<Evdev> evdev) : evdev_(std::move(evdev)) {}
  bool write(D d, uint16_t type, uint16_t code, int32_t value) override {
    evdev_->write(d, type, code, value);
    return true;
  }

 private:
  std::shared_ptr<Evdev> evdev_;
};

class FakeScreen final : public UinputInputSink::ScreenWatch {
 public:
  explicit FakeScreen(std::shared_ptr<std::optional<Size>> next) : next_(std::move(next)) {}
  std::optional<Size> changed() override { return std::exchange(*next_, std::nullopt); }

 private:
  std::shared_ptr<std::optional<Size>> next_;
};

// Passes every event to the uinput sink and keeps the X buttons the XTest
// sink would hold after it, so both readings can be compared.
class TeeSink final : public InputEventSink {
 public:
  TeeSink(std::shared_ptr<InputEventSink> uinput, std::shared_ptr<Evdev> evdev)
      : uinput_(std::move(uinput)), evdev_(std::move(evdev)) {}
  bool post(const InputEvent& e) override {
    const bool ok = uinput_->post(e);
    if (e.type == EventType::leftMouseDown) xtest_.insert(1);
    if (e.type == EventType::leftMouseUp) xtest_.erase(1);
    if (e.type == EventType::rightMouseDown) xtest_.insert(3);
    if (e.type == EventType::rightMouseUp) xtest_.erase(3);
    if (evdev_->xButtons() != xtest_) {
      evdev_->faults.push_back("after event type " + std::to_string(e.type) + " the sinks hold different buttons");
    }
    return ok;
  }
  uint64_t modifierFlags() override { return 0; }
  const std::set<int>& xtestButtons() const { return xtest_; }

 private:
  std::shared_ptr<InputEventSink> uinput_;
  std::shared_ptr<Evdev> evdev_;
  std::set<int> xtest_;
};

struct Chain {
  std::shared_ptr<test::ManualExecutor> queue = std::make_shared<test::ManualExecutor>();
  std::shared_ptr<Evdev> evdev = std::make_shared<Evdev>();
  std::shared_ptr<std::optional<Size>> nextScreen = std::make_shared<std::optional<Size>>();
  std::shared_ptr<UinputInputSink> uinput;
  std::shared_ptr<TeeSink> tee;
  Rect rect{0, 0, 1920, 1080};
  std::shared_ptr<PenInjector> injector;

  explicit Chain(uint32_t axes, Size screen = {1920, 1080}) {
    uinput = UinputInputSink::create(std::make_unique<RecordingDevices>(evdev), screen,
                                     std::make_unique<FakeScreen>(nextScreen));
    tee = std::make_shared<TeeSink>(uinput, evdev);
    PenInjector::Platform platform;
    platform.sink = tee;
    platform.queue = queue;
    platform.penRateHz = "0";
    injector = PenInjector::create([this] { return rect; }, [] { return std::optional<Size>(); }, nullptr, 9,
                                   platform);
    injector->updateCaps(Wire::InputCaps{axes, 0, 0});
  }

  void send(std::vector<Wire::InputPointer> pointers) {
    injector->submit(packet(std::move(pointers)));
    queue->advance(10 * kMs);
  }
  void gone() {
    injector->releaseAndClose();
    queue->runReady();
  }
  // The pixel X reaches for a tablet axis value: the whole range over the screen.
  double pixelX(D d) { return evdev->abs(d, ABS_X) * uinput->screen().width / (UinputEventPlanner::axisMax + 1.0); }
};

constexpr uint32_t kPressure = Wire::InputAxis::pressure;
constexpr uint16_t kCentre = 32768;

TEST(UinputChain, PositionsFollowTheScreenAsItGrowsAndShrinks) {
  // The sink was opened before the virtual display existed.
  Chain chain(kPressure);
  const double u = kCentre / 65535.0;
  chain.send({pointer(1, PenTool::pen, kHover, kCentre, kCentre)});
  EXPECT_NEAR(chain.pixelX(D::tablet), 1919 * u, 1.0);

  // The virtual display beside the main one doubles the screen's width.
  *chain.nextScreen = Size{3840, 1080};
  chain.rect = Rect{1920, 0, 1920, 1080};
  chain.send({pointer(1, PenTool::pen, kTouch, kCentre, kCentre, 30000)});
  EXPECT_NEAR(chain.pixelX(D::tablet), 1920 + 1919 * u, 1.0);
  chain.send({pointer(1, PenTool::pen, kHover, kCentre, kCentre)});
  chain.send({});
  chain.queue->advance(300 * kMs);  // past the pen's grace for fingers
  chain.send({pointer(2, PenTool::finger, kTouch, kCentre, kCentre)});
  chain.send({});  // a tap: press and release at the lift point
  EXPECT_NEAR(chain.pixelX(D::pointer), 1920 + 1919 * u, 1.0);

  // It goes again; the main display is all there is.
  *chain.nextScreen = Size{1920, 1080};
  chain.rect = Rect{0, 0, 1920, 1080};
  chain.send({pointer(1, PenTool::pen, kTouch, 0xFFFF, kCentre, 30000)});
  EXPECT_NEAR(chain.pixelX(D::tablet), 1919, 1.0);
  EXPECT_NEAR(chain.evdev->abs(D::tablet, ABS_Y) * 1080 / 32768.0, 1079 * u, 1.0);
  EXPECT_EQ(chain.evdev->faults, std::vector<std::string>{});
}

// Barrel in the air, barrel with the tip, tip then barrel, and a pointer that
// changes tool in contact: at every step the uinput devices hold the X
// buttons the XTest sink holds, and nothing stays down once the client goes.
TEST(UinputChain, ButtonsAgreeWithTheXTestSinkThroughBarrelAndToolChanges) {
  for (const bool viaFinger : {false, true}) {
    Chain chain(kPressure);
    chain.send({pointer(1, PenTool::pen, kHover, 100, 100)});
    chain.send({pointer(1, PenTool::pen, kHover | kBarrel, 110, 100)});
    EXPECT_EQ(chain.evdev->key(D::tablet, BTN_STYLUS2), 1);
    EXPECT_EQ(chain.tee->xtestButtons(), (std::set<int>{3}));
    chain.send({pointer(1, PenTool::pen, kTouch | kBarrel, 120, 100, 20000)});
    chain.send({pointer(1, PenTool::pen, kHover, 130, 100)});
    EXPECT_EQ(chain.tee->xtestButtons(), (std::set<int>{}));
    chain.send({pointer(1, PenTool::pen, kTouch, 140, 100, 20000)});
    chain.send({pointer(1, PenTool::pen, kTouch | kBarrel, 150, 100, 20000)});
    EXPECT_EQ(chain.tee->xtestButtons(), (std::set<int>{1}));
    // The same pointer turns into a finger, or the eraser, while still down.
    if (viaFinger) {
      // The pen has just let go, so the finger's press falls in its grace.
      chain.send({pointer(1, PenTool::finger, kTouch, 160, 100)});
      chain.send({pointer(1, PenTool::finger, kTouch, 3000, 100)});
      EXPECT_FALSE(chain.evdev->tabletInProximity());
      EXPECT_EQ(chain.tee->xtestButtons(), (std::set<int>{}));
    } else {
      chain.send({pointer(1, PenTool::eraser, kTouch, 160, 100, 20000)});
      EXPECT_EQ(chain.evdev->key(D::tablet, BTN_TOOL_RUBBER), 1);
      EXPECT_EQ(chain.evdev->key(D::tablet, BTN_TOOL_PEN), 0);
      EXPECT_EQ(chain.tee->xtestButtons(), (std::set<int>{1}));
    }
    chain.gone();
    EXPECT_EQ(chain.tee->xtestButtons(), (std::set<int>{})) << "via finger " << viaFinger;
    EXPECT_FALSE(chain.evdev->anythingDown()) << "via finger " << viaFinger;
    EXPECT_EQ(chain.evdev->key(D::tablet, BTN_STYLUS), 0);
    EXPECT_EQ(chain.evdev->faults, std::vector<std::string>{}) << "via finger " << viaFinger;
  }
}

TEST(UinputChain, TipPressureStaysAboveLibinputsThresholdAndLiftsToZero) {
  struct Row {
    uint32_t axes;
    std::vector<uint16_t> pressures;  // in contact, one sample each
    std::vector<int32_t> expected;
  };
  const int32_t lo = UinputEventPlanner::contactPressureMin;
  for (const Row& row : std::vector<Row>{
           {kPressure, {0, 1, 65535, 0}, {lo, lo, UinputEventPlanner::pressureMax, lo}},
           {0, {0, 40000, 9}, {UinputEventPlanner::steadyPressure, UinputEventPlanner::steadyPressure,
                               UinputEventPlanner::steadyPressure}},
       }) {
    Chain chain(row.axes);
    chain.send({pointer(1, PenTool::pen, kHover, 100, 100)});
    uint16_t x = 100;
    for (const uint16_t p : row.pressures) chain.send({pointer(1, PenTool::pen, kTouch, x += 50, 100, p)});
    EXPECT_EQ(chain.evdev->tipPressures, row.expected) << "axes " << row.axes;
    chain.send({pointer(1, PenTool::pen, kHover, x, 100, 65535)});
    EXPECT_EQ(chain.evdev->key(D::tablet, BTN_TOUCH), 0);
    EXPECT_EQ(chain.evdev->abs(D::tablet, ABS_PRESSURE), 0);
    chain.send({pointer(1, PenTool::pen, kTouch, x, 100, 0)});
    chain.send({});  // the pen vanishes in contact
    EXPECT_FALSE(chain.evdev->anythingDown());
    EXPECT_EQ(chain.evdev->faults, std::vector<std::string>{}) << "axes " << row.axes;
  }
}

TEST(UinputChain, OrientationGoesOutAsRotationOnlyWhenTheClientReportsIt) {
  for (const uint32_t axes : {kPressure | Wire::InputAxis::orientation, kPressure}) {
    Chain chain(axes);
    Wire::InputPointer p = pointer(1, PenTool::pen, kTouch, 100, 100, 30000);
    p.orientationCentideg = 4550;  // 45.5 degrees
    chain.send({p});
    const bool reported = axes & Wire::InputAxis::orientation;
    EXPECT_EQ(chain.evdev->abs(D::tablet, ABS_Z), reported ? 455 : 0);
    EXPECT_EQ(chain.evdev->absZWrites > 0, reported);
  }
}

}  // namespace
}  // namespace lumenrail
