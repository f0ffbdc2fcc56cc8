#include "input/UinputInputSink.hpp"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input-event-codes.h>

#include <cstring>

#include "input/MacKeyCodes.hpp"

namespace lumenrail {

namespace {

struct EvdevDeleter {
  void operator()(libevdev* d) const { libevdev_free(d); }
};
using Evdev = std::unique_ptr<libevdev, EvdevDeleter>;

// Bus "virtual"; product ids tell the three devices apart.
constexpr int kVendor = 0x4c52;

Evdev newDevice(const char* name, int product) {
  Evdev dev(libevdev_new());
  libevdev_set_name(dev.get(), name);
  libevdev_set_id_bustype(dev.get(), BUS_VIRTUAL);
  libevdev_set_id_vendor(dev.get(), kVendor);
  libevdev_set_id_product(dev.get(), product);
  return dev;
}

void enableAbs(libevdev* dev, uint16_t code, int min, int max, int resolution) {
  input_absinfo info{};
  info.minimum = min;
  info.maximum = max;
  info.resolution = resolution;
  libevdev_enable_event_code(dev, EV_ABS, code, &info);
}

}  // namespace

UinputInputSink::UinputInputSink(Rect desktop, Log::Sink log) : planner_(desktop), log_(std::move(log)) {}

std::shared_ptr<UinputInputSink> UinputInputSink::open(Rect desktop, std::string* why, Log::Sink log) {
  std::shared_ptr<UinputInputSink> sink(new UinputInputSink(desktop, std::move(log)));
  const int maxX = sink->planner_.axisMaxX();
  const int maxY = sink->planner_.axisMaxY();

  Evdev tablet = newDevice("Lumenrail Pen", 1);
  libevdev_enable_property(tablet.get(), INPUT_PROP_DIRECT);
  libevdev_enable_event_type(tablet.get(), EV_KEY);
  for (const uint16_t key : {BTN_TOOL_PEN, BTN_TOOL_RUBBER, BTN_TOUCH, BTN_STYLUS}) {
    libevdev_enable_event_code(tablet.get(), EV_KEY, key, nullptr);
  }
  libevdev_enable_event_type(tablet.get(), EV_ABS);
  // About 4 units per millimetre: a plausible screen-sized tablet.
  enableAbs(tablet.get(), ABS_X, 0, maxX, 4);
  enableAbs(tablet.get(), ABS_Y, 0, maxY, 4);
  enableAbs(tablet.get(), ABS_PRESSURE, 0, UinputEventPlanner::pressureMax, 0);
  enableAbs(tablet.get(), ABS_TILT_X, -UinputEventPlanner::tiltMaxDegrees, UinputEventPlanner::tiltMaxDegrees, 57);
  enableAbs(tablet.get(), ABS_TILT_Y, -UinputEventPlanner::tiltMaxDegrees, UinputEventPlanner::tiltMaxDegrees, 57);

  Evdev pointer = newDevice("Lumenrail Pointer", 2);
  libevdev_enable_event_type(pointer.get(), EV_KEY);
  libevdev_enable_event_code(pointer.get(), EV_KEY, BTN_LEFT, nullptr);
  libevdev_enable_event_code(pointer.get(), EV_KEY, BTN_RIGHT, nullptr);
  libevdev_enable_event_type(pointer.get(), EV_ABS);
  enableAbs(pointer.get(), ABS_X, 0, maxX, 0);
  enableAbs(pointer.get(), ABS_Y, 0, maxY, 0);
  libevdev_enable_event_type(pointer.get(), EV_REL);
  for (const uint16_t rel : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES}) {
    libevdev_enable_event_code(pointer.get(), EV_REL, rel, nullptr);
  }

  Evdev keyboard = newDevice("Lumenrail Keyboard", 3);
  libevdev_enable_event_type(keyboard.get(), EV_KEY);
  for (uint16_t mac = 0; mac < 128; ++mac) {
    if (const auto code = MacKeyCodes::toEvdev(mac)) libevdev_enable_event_code(keyboard.get(), EV_KEY, *code, nullptr);
  }

  libevdev* templates[3] = {tablet.get(), pointer.get(), keyboard.get()};
  for (int i = 0; i < 3; ++i) {
    const int rc = libevdev_uinput_create_from_device(templates[i], LIBEVDEV_UINPUT_OPEN_MANAGED, &sink->devices_[i]);
    if (rc != 0) {
      if (why) *why = std::string("cannot create uinput device: ") + std::strerror(-rc);
      return nullptr;  // the destructor removes the devices made so far
    }
  }
  return sink;
}

UinputInputSink::~UinputInputSink() {
  {
    std::lock_guard guard(lock_);
    if (devices_[0] && devices_[1] && devices_[2]) write(planner_.releaseEverything());
  }
  for (libevdev_uinput*& dev : devices_) {
    if (dev) libevdev_uinput_destroy(dev);
    dev = nullptr;
  }
}

bool UinputInputSink::write(const std::vector<UinputEventPlanner::Write>& writes) {
  bool ok = true;
  for (const auto& w : writes) {
    libevdev_uinput* dev = devices_[static_cast<int>(w.device)];
    if (!dev || libevdev_uinput_write_event(dev, w.type, w.code, w.value) != 0) ok = false;
  }
  return ok;
}

bool UinputInputSink::post(const InputEvent& event) {
  std::lock_guard guard(lock_);
  const std::optional<std::vector<UinputEventPlanner::Write>> writes = planner_.plan(event);
  if (!writes) {
    if (event.type == EventType::gesture && !loggedRotate_) {
      loggedRotate_ = true;
      if (log_) log_("rotate gesture dropped — there is no rotate injection on Linux");
    }
    return false;
  }
  return write(*writes);
}

uint64_t UinputInputSink::modifierFlags() { return 0; }

std::string UinputInputSink::devnode(UinputEventPlanner::Device device) const {
  libevdev_uinput* dev = devices_[static_cast<int>(device)];
  const char* node = dev ? libevdev_uinput_get_devnode(dev) : nullptr;
  return node ? node : "";
}

}  // namespace lumenrail
