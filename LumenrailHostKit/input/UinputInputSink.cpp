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

Evdev newDevice(const char* name, int product) {
  Evdev dev(libevdev_new());
  libevdev_set_name(dev.get(), name);
  libevdev_set_id_bustype(dev.get(), BUS_VIRTUAL);
  libevdev_set_id_vendor(dev.get(), UinputInputSink::vendorId);
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

// The three libevdev uinput devices.
class LibevdevDevices final : public UinputInputSink::Devices {
 public:
  ~LibevdevDevices() override {
    for (libevdev_uinput*& dev : devices_) {
      if (dev) libevdev_uinput_destroy(dev);
      dev = nullptr;
    }
  }

  bool make(bool penOnly, std::string* why) {
    Evdev tablet = newDevice("Lumenrail Pen", UinputInputSink::penProductId);
    libevdev_enable_property(tablet.get(), INPUT_PROP_DIRECT);
    libevdev_enable_event_type(tablet.get(), EV_KEY);
    for (const uint16_t key : {BTN_TOOL_PEN, BTN_TOOL_RUBBER, BTN_TOUCH, BTN_STYLUS, BTN_STYLUS2}) {
      libevdev_enable_event_code(tablet.get(), EV_KEY, key, nullptr);
    }
    libevdev_enable_event_type(tablet.get(), EV_ABS);
    // 100 units per millimetre: a tablet about 33 cm across, whatever the
    // screen; X maps the range onto the screen anyway.
    enableAbs(tablet.get(), ABS_X, 0, UinputEventPlanner::axisMax, 100);
    enableAbs(tablet.get(), ABS_Y, 0, UinputEventPlanner::axisMax, 100);
    enableAbs(tablet.get(), ABS_PRESSURE, 0, UinputEventPlanner::pressureMax, 0);
    enableAbs(tablet.get(), ABS_TILT_X, -UinputEventPlanner::tiltMaxDegrees, UinputEventPlanner::tiltMaxDegrees, 57);
    enableAbs(tablet.get(), ABS_TILT_Y, -UinputEventPlanner::tiltMaxDegrees, UinputEventPlanner::tiltMaxDegrees, 57);
    enableAbs(tablet.get(), ABS_Z, 0, UinputEventPlanner::rotationUnits - 1, 0);

    Evdev pointer = newDevice("Lumenrail Pointer", 2);
    libevdev_enable_event_type(pointer.get(), EV_KEY);
    libevdev_enable_event_code(pointer.get(), EV_KEY, BTN_LEFT, nullptr);
    libevdev_enable_event_code(pointer.get(), EV_KEY, BTN_RIGHT, nullptr);
    libevdev_enable_event_type(pointer.get(), EV_ABS);
    enableAbs(pointer.get(), ABS_X, 0, UinputEventPlanner::axisMax, 0);
    enableAbs(pointer.get(), ABS_Y, 0, UinputEventPlanner::axisMax, 0);
    libevdev_enable_event_type(pointer.get(), EV_REL);
    for (const uint16_t rel : {REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES}) {
      libevdev_enable_event_code(pointer.get(), EV_REL, rel, nullptr);
    }

    Evdev keyboard = newDevice("Lumenrail Keyboard", 3);
    libevdev_enable_event_type(keyboard.get(), EV_KEY);
    for (uint16_t mac = 0; mac < 128; ++mac) {
      const auto code = MacKeyCodes::toEvdev(mac);
      if (code) libevdev_enable_event_code(keyboard.get(), EV_KEY, *code, nullptr);
    }

    libevdev* templates[3] = {tablet.get(), pointer.get(), keyboard.get()};
    for (int i = 0; i < (penOnly ? 1 : 3); ++i) {
      const int rc = libevdev_uinput_create_from_device(templates[i], LIBEVDEV_UINPUT_OPEN_MANAGED, &devices_[i]);
      if (rc != 0) {
        if (why) *why = std::string("cannot create uinput device: ") + std::strerror(-rc);
        return false;  // the destructor removes the devices made so far
      }
    }
    return true;
  }

  bool write(UinputEventPlanner::Device device, uint16_t type, uint16_t code, int32_t value) override {
    libevdev_uinput* dev = devices_[static_cast<int>(device)];
    return dev && libevdev_uinput_write_event(dev, type, code, value) == 0;
  }

  std::string devnode(UinputEventPlanner::Device device) const override {
    libevdev_uinput* dev = devices_[static_cast<int>(device)];
    const char* node = dev ? libevdev_uinput_get_devnode(dev) : nullptr;
    return node ? node : "";
  }

 private:
  libevdev_uinput* devices_[3] = {nullptr, nullptr, nullptr};
};

}  // namespace

std::unique_ptr<UinputInputSink::Devices> UinputInputSink::makeDevices(std::string* why, bool penOnly) {
  auto devices = std::make_unique<LibevdevDevices>();
  if (!devices->make(penOnly, why)) return nullptr;
  return devices;
}

UinputInputSink::UinputInputSink(std::unique_ptr<Devices> devices, Size screen, std::unique_ptr<ScreenWatch> watch,
                                 Log::Sink log)
    : planner_(screen), devices_(std::move(devices)), watch_(std::move(watch)), log_(std::move(log)) {}

std::shared_ptr<UinputInputSink> UinputInputSink::create(std::unique_ptr<Devices> devices, Size screen,
                                                         std::unique_ptr<ScreenWatch> watch, Log::Sink log) {
  return std::shared_ptr<UinputInputSink>(
      new UinputInputSink(std::move(devices), screen, std::move(watch), std::move(log)));
}

std::shared_ptr<UinputInputSink> UinputInputSink::open(Rect desktop, std::string* why, Log::Sink log) {
  auto devices = makeDevices(why);
  if (!devices) return nullptr;
  return create(std::move(devices), Size{desktop.width, desktop.height}, nullptr, std::move(log));
}

std::shared_ptr<UinputInputSink> UinputInputSink::openPen(Rect area, std::string* why, Log::Sink log) {
  auto devices = makeDevices(why, true);
  if (!devices) return nullptr;
  auto sink = create(std::move(devices), Size{area.width, area.height}, nullptr, std::move(log));
  sink->setArea(area);
  return sink;
}

UinputInputSink::~UinputInputSink() {
  std::lock_guard guard(lock_);
  if (devices_) write(planner_.releaseEverything());
}

bool UinputInputSink::write(const std::vector<UinputEventPlanner::Write>& writes) {
  bool ok = true;
  for (const auto& w : writes) {
    if (!devices_->write(w.device, w.type, w.code, w.value)) ok = false;
  }
  return ok;
}

void UinputInputSink::followScreen() {
  if (!watch_) return;
  const std::optional<Size> size = watch_->changed();
  if (!size) return;
  planner_.setScreen(*size);
  if (log_) {
    log_("X screen now " + std::to_string(static_cast<int64_t>(size->width)) + "x" +
         std::to_string(static_cast<int64_t>(size->height)) + " — uinput positions follow it");
  }
}

bool UinputInputSink::post(const InputEvent& event) {
  std::lock_guard guard(lock_);
  followScreen();
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
  return devices_ ? devices_->devnode(device) : "";
}

void UinputInputSink::setArea(Rect area) {
  std::lock_guard guard(lock_);
  planner_.setArea(area);
}

Size UinputInputSink::screen() {
  std::lock_guard guard(lock_);
  followScreen();
  return planner_.screen();
}

}  // namespace lumenrail
