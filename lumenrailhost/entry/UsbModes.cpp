#include "entry/UsbModes.hpp"

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <unistd.h>

#include "links/UsbmuxClient.hpp"
#include "links/UsbmuxServeBridge.hpp"
#include "platform/Log.hpp"
#include "platform/NamedThread.hpp"
#include "platform/OneShotEvent.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {

using Log::line;
using UsbmuxClient::Device;
using UsbmuxClient::UsbmuxError;

constexpr int64_t kServeTestSeconds = 15;

std::string padded(std::string text, size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

void listOnce(const std::string& label) {
  try {
    const auto devices = UsbmuxClient::listDevices();
    std::string usb;
    size_t usbCount = 0;
    for (const auto& d : devices) {
      if (!d.isUSB()) continue;
      if (usbCount++ > 0) usb += ",";
      usb += std::to_string(d.deviceID) + "/" + d.connectionType;
    }
    line("  [" + label + "] listDevices → " + std::to_string(devices.size()) + " total, " + std::to_string(usbCount) +
         " USB: " + usb);
  } catch (const UsbmuxError& e) {
    line("  [" + label + "] listDevices THREW: " + e.description());
  }
}

}  // namespace

int runUsbList() {
  line("== lumenrail Linux host — usbmux device list ==");
  std::vector<Device> devices;
  try {
    devices = UsbmuxClient::listDevices();
  } catch (const UsbmuxError& e) {
    // No socket at its path, or nobody behind it: the daemon is not running.
    const bool absent = e.kind == UsbmuxError::Kind::connectSocket && (e.err == ENOENT || e.err == ECONNREFUSED);
    const char* hint =
        " — usbmuxd is not running; it starts when an iPhone or iPad is plugged in (Debian package usbmuxd)";
    line("usbmuxd error: " + e.description() + (absent ? hint : ""));
    return 2;
  }
  if (devices.empty()) {
    line("no devices attached (is an iPhone/iPad plugged in + trusted?)");
    return 1;
  }
  for (const auto& d : devices) {
    line("  DeviceID " + std::to_string(d.deviceID) + "  " + padded(d.connectionType, 7) + "  " + d.serial);
  }
  line("USB tunnels dial :" + std::to_string(UsbmuxServeBridge::usbListenPort) + " on the device app.");
  return 0;
}

int runUsbDiag() {
  line("== lumenrail usbmux diag — main vs background thread ==");
  listOnce("main");
  OneShotEvent done;
  NamedThread worker("lumenrail-usb-diag", [&done] {
    for (int i = 1; i <= 5; ++i) {
      listOnce("bg#" + std::to_string(i));
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    done.signal();
  });
  done.wait();
  worker.join();
  line("== diag done ==");
  return 0;
}

int runUsbServeTest(uint16_t port) {
  line("== lumenrail usbmux bridge test — real UsbmuxServeBridge, " + std::to_string(kServeTestSeconds) + "s ==");
  WireServer::Config config;
  config.port = port;
  config.hello.codec = Wire::Codec::h264;
  config.hello.width = 1280;
  config.hello.height = 720;
  config.hello.frameRateNum = 60;
  config.hello.frameRateDen = 1;
  config.hello.bitrateBps = 12'000'000;
  config.hello.qpcFrequency = 1'000'000'000;
  // Not started: the bridge adopts its connections.
  auto server = WireServer::create(config);
  WireServer::Hooks hooks;
  hooks.onEvent = [](const std::string& message) { line("  [wire] " + message); };
  hooks.onClientMode = [](const Wire::ClientMode& mode, int32_t fd) {
    line("  [wire] ← ClientMode (fd " + std::to_string(fd) + ") " + std::to_string(mode.width) + "x" +
         std::to_string(mode.height) + "@" + std::to_string(mode.refreshHz));
  };
  hooks.onInputCaps = [](const Wire::InputCaps& caps, int32_t) {
    line("  [wire] ← InputCaps axisMask=" + std::to_string(caps.axisMask) +
         " maxContacts=" + std::to_string(caps.maxContacts));
  };
  hooks.onAudioWantedChanged = [](bool wanted) {
    line(std::string("  [wire] ← CLIENT_CAPS audioWanted=") + (wanted ? "true" : "false"));
  };
  server->setHooks(std::move(hooks));
  auto bridge = UsbmuxServeBridge::create(server, UsbmuxServeBridge::usbListenPort);
  bridge->onEvent = [](const std::string& message) { line("  [usb] " + message); };
  bridge->start();
  std::this_thread::sleep_for(std::chrono::seconds(kServeTestSeconds));
  bridge->stop();
  // The tunnels the bridge handed over close with the server.
  server->stop();
  line("== bridge test done ==");
  return 0;
}

int runUsbConnectTest(uint16_t port) {
  line("== lumenrail usbmux connect test — dialing :" + std::to_string(port) + " ==");
  std::vector<Device> usb;
  try {
    for (const auto& d : UsbmuxClient::listDevices()) {
      if (d.isUSB()) usb.push_back(d);
    }
  } catch (const UsbmuxError&) {
    // A daemon that cannot list counts as no device.
  }
  if (usb.empty()) {
    line("no USB device");
    return 1;
  }
  const Device& device = usb.front();
  line("  device " + std::to_string(device.deviceID) + " (" + device.serial + ")");
  for (int attempt = 1; attempt <= 3; ++attempt) {
    try {
      const int fd = UsbmuxClient::connect(device.deviceID, port);
      line("  attempt " + std::to_string(attempt) + ": CONNECTED (fd " + std::to_string(fd) +
           ") — tunnel up, app IS listening");
      ::close(fd);
    } catch (const UsbmuxError& e) {
      line("  attempt " + std::to_string(attempt) + ": " + e.description());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return 0;
}

}  // namespace lumenrail
