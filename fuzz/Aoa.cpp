// The accessory driver against a USB bus whose every answer comes from the
// input: the devices listed, their serial strings and endpoints, the phone's
// reply to GET_PROTOCOL, refusals, and what the phone sends while the driver
// waits for a client's connect burst. The pure readers of the phone's bytes
// run on the input too.

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "FuzzCheck.hpp"
#include "links/aoa/aoa.h"
#include "links/aoa/aoa_policy.h"
#include "links/aoa/aoa_usb.h"

namespace {

FuzzedDataProvider* g_in = nullptr;
uint64_t g_now = 1'000'000;
std::array<aoa_usb_device_info, 4> g_devices{};

int fail(int odds) { return g_in->ConsumeIntegralInRange(0, odds) == 0 ? AOA_USB_ERROR_IO : 0; }

int fakeInit(void** ctx) {
  static int context;
  *ctx = &context;
  return 0;
}
void fakeExit(void*) {}

long fakeDeviceList(void*, void** list) {
  const long count = g_in->ConsumeIntegralInRange<long>(0, long(g_devices.size()));
  for (long i = 0; i < count; ++i) {
    aoa_usb_device_info& d = g_devices[size_t(i)];
    d.vendor_id = g_in->ConsumeBool() ? AOA_GOOGLE_VENDOR : g_in->ConsumeIntegral<uint16_t>();
    d.product_id = g_in->ConsumeBool() ? uint16_t(AOA_ACCESSORY_PRODUCT_FIRST + g_in->ConsumeIntegralInRange(0, 6))
                                       : g_in->ConsumeIntegral<uint16_t>();
    d.serial_index = g_in->ConsumeIntegral<uint8_t>();
    d.bus = g_in->ConsumeIntegralInRange<uint8_t>(1, 2);
    d.address = g_in->ConsumeIntegralInRange<uint8_t>(1, 3);
  }
  *list = g_devices.data();
  return count;
}
void* fakeListDevice(void* list, long index) { return static_cast<aoa_usb_device_info*>(list) + index; }
void fakeFreeList(void*) {}
int fakeDescribe(void* device, aoa_usb_device_info* info) {
  *info = *static_cast<aoa_usb_device_info*>(device);
  return fail(15);
}
int fakeOpen(void* device, void** handle) {
  const int rc = g_in->ConsumeIntegralInRange(0, 7) == 0 ? AOA_USB_ERROR_ACCESS : 0;
  *handle = rc == 0 ? device : nullptr;
  return rc;
}
void fakeClose(void*) {}

int fakeString(void*, uint8_t, char* buf, int len) {
  if (g_in->ConsumeIntegralInRange(0, 7) == 0) return AOA_USB_ERROR_PIPE;
  const auto text = g_in->ConsumeBytes<char>(g_in->ConsumeIntegralInRange(0, len));
  if (!text.empty()) std::memcpy(buf, text.data(), text.size());
  return int(text.size());
}

int fakeEndpoints(void*, aoa_usb_endpoint* eps, int max) {
  if (g_in->ConsumeIntegralInRange(0, 15) == 0) return AOA_USB_ERROR_IO;
  const int n = g_in->ConsumeIntegralInRange(0, max);
  for (int i = 0; i < n; ++i) {
    eps[i].address = g_in->ConsumeIntegral<uint8_t>();
    eps[i].bulk = g_in->ConsumeBool();
    eps[i].max_packet = g_in->ConsumeIntegralInRange<int32_t>(-1, 1024);
  }
  return n;
}

int fakeSetAutoDetach(void*, int) { return 0; }
int fakeClaim(void*, int) { return fail(7); }
int fakeRelease(void*, int) { return 0; }

int fakeControl(void*, uint8_t requestType, uint8_t, uint16_t, uint16_t, unsigned char* data, uint16_t length,
                unsigned) {
  if (fail(7) != 0) return AOA_USB_ERROR_PIPE;
  if ((requestType & 0x80) == 0) return length;
  const auto reply = g_in->ConsumeBytes<unsigned char>(g_in->ConsumeIntegralInRange<uint16_t>(0, length));
  if (!reply.empty()) std::memcpy(data, reply.data(), reply.size());
  return int(reply.size());
}

// Data from the phone until the input runs out; then the cable is gone.
int fakeBulk(void*, uint8_t, unsigned char* data, int length, int* transferred, unsigned) {
  *transferred = 0;
  if (g_in->remaining_bytes() == 0) return AOA_USB_ERROR_NO_DEVICE;
  const bool timedOut = g_in->ConsumeBool();
  const auto bytes = g_in->ConsumeBytes<unsigned char>(g_in->ConsumeIntegralInRange(0, length));
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  *transferred = int(bytes.size());
  return timedOut ? AOA_USB_ERROR_TIMEOUT : 0;
}

void* fakeAllocOut() { return nullptr; }
int fakeSubmitOut(void*, void*, uint8_t, unsigned char*, int, int, aoa_usb_out_done, void*) {
  return AOA_USB_ERROR_IO;
}
int fakeCancelOut(void*) { return 0; }
void fakeFreeOut(void*) {}
int fakeEvents(void*, int) { return 0; }
const char* fakeErrorName(int) { return "LIBUSB_ERROR_FUZZ"; }
uint64_t fakeNow() { return g_now += g_in->ConsumeIntegralInRange<uint64_t>(0, 5000); }

// In the order of aoa_usb_ops' members.
const aoa_usb_ops kFakeOps = {
    fakeInit, fakeExit, fakeDeviceList, fakeListDevice, fakeFreeList, fakeDescribe, fakeOpen, fakeClose,
    fakeString, fakeEndpoints, fakeSetAutoDetach, fakeClaim, fakeRelease, fakeControl, fakeBulk, fakeAllocOut,
    fakeSubmitOut, fakeCancelOut, fakeFreeOut, fakeEvents, fakeErrorName, fakeNow,
};

void checkMessage(void*, const char* message) { FUZZ_CHECK(std::strlen(message) < 512); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int reason = -1;
  if (aoa_is_lone_bye(data, size, &reason)) FUZZ_CHECK(reason >= 0 && reason <= 255 && size <= 9);
  (void)aoa_is_connect_burst(data, size);

  FuzzedDataProvider in(data, size);
  g_in = &in;
  static const bool ready = [] {
    aoa_set_usb_ops(&kFakeOps);
    return aoa_global_init(checkMessage, nullptr) == 0;
  }();
  FUZZ_CHECK(ready);
  aoa_forget_devices();

  aoa_options options{};
  options.vendor_id = in.ConsumeBool() ? 0 : in.ConsumeIntegral<uint16_t>();
  const std::string serial = in.ConsumeRandomLengthString(16);
  options.serial = in.ConsumeBool() ? serial.c_str() : nullptr;
  for (int attempt = 0; attempt < 3 && in.remaining_bytes() > 0; ++attempt) {
    aoa_session* session = nullptr;
    const int rc = aoa_acquire(&options, &session);
    FUZZ_CHECK(rc >= AOA_ACQUIRED && rc <= AOA_UNUSABLE);
    FUZZ_CHECK((rc == AOA_ACQUIRED) == (session != nullptr));
    if (session) {
      const int waited = aoa_await_connect(session);
      FUZZ_CHECK(waited == AOA_CLEAN_END || waited == AOA_USB_ERROR);
      aoa_release(session);
    }
  }
  g_in = nullptr;
  return 0;
}
