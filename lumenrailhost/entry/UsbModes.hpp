#pragma once

// The USB diagnostics of the command line: the usbmux device listing, the
// listing from a background thread, the tunnel bridge with a bare wire
// server, and tunnel dials to the first USB device.

#include <cstdint>

namespace lumenrail {

// 0 listed, 1 no device, 2 usbmuxd error.
int runUsbList();
int runUsbDiag();
int runUsbServeTest(uint16_t port);
// 0, or 1 without a USB device.
int runUsbConnectTest(uint16_t port);

}  // namespace lumenrail
