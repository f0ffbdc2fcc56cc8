// A reply body from usbmuxd (XML or binary plist), read both as a device list
// and as a Connect result.

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.hpp"
#include "links/UsbmuxClient.hpp"

using namespace lumenrail;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const ByteView body(data, size);
  try {
    for (const auto& device : UsbmuxClient::devicesFromReply(body)) (void)device.isUSB();
  } catch (const UsbmuxClient::UsbmuxError& e) {
    FUZZ_CHECK(e.kind == UsbmuxClient::UsbmuxError::Kind::badReply);
    (void)e.description();
  }
  try {
    const int64_t number = UsbmuxClient::connectResultFromReply(body);
    if (number != 0) (void)UsbmuxClient::UsbmuxError::connectRefused(number).description();
  } catch (const UsbmuxClient::UsbmuxError& e) {
    FUZZ_CHECK(e.kind == UsbmuxClient::UsbmuxError::Kind::badReply);
  }
  return 0;
}
