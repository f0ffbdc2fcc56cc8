#pragma once

// A fake USB bus behind the accessory driver's USB interface: devices to
// list and open, a phone end for the bulk endpoints (what the phone sends,
// what it takes, whether it reads at all) and a clock the test moves by hand.
// One instance at a time; it installs itself and restores libusb on exit.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "links/aoa/aoa_usb.h"

namespace lumenrail::test {

struct FakeUsbDevice {
  uint16_t vendor = 0x18D1;
  uint16_t product = 0x2D01;
  uint8_t bus = 1;
  uint8_t address = 5;
  std::optional<std::string> serial;
  int openError = 0;
  int claimError = 0;
  int serialError = 0;
  std::vector<aoa_usb_endpoint> endpoints{{0x81, 1, 512}, {0x01, 1, 512}};
  uint16_t protocol = 2;
  int failRequest = -1;  // control request (51, 52, 53) that fails
  // Filled in by the fake.
  int opens = 0, closes = 0, claims = 0, releases = 0;
};

struct ControlCall {
  uint8_t requestType = 0, request = 0;
  uint16_t value = 0, index = 0;
  std::vector<uint8_t> data;
};

struct OutSubmit {
  int length = 0;
  bool zeroPacket = false;
};

class FakeAoaUsb {
 public:
  static constexpr uint64_t kStartMs = 1'000'000;

  FakeAoaUsb();
  ~FakeAoaUsb();
  FakeAoaUsb(const FakeAoaUsb&) = delete;
  FakeAoaUsb& operator=(const FakeAoaUsb&) = delete;

  // Devices, in the bus's order.
  void addDevice(const FakeUsbDevice& device);
  FakeUsbDevice device(size_t index) const;
  void setOpenError(size_t index, int error);
  std::vector<ControlCall> controls() const;
  int listings() const;
  // While held, a listing of the bus blocks (a driver stuck in the kernel).
  void holdListings(bool hold);
  bool waitListingHeld(uint64_t timeoutMs = 10'000);
  int maxListingsAtOnce() const;

  // The phone's side of the bulk endpoints.
  enum class Out { drain, hold, shortNext, failNext };
  void setOut(Out mode);
  void phoneSends(std::vector<uint8_t> bytes);  // the next IN read returns these
  void phoneFloods();                           // every IN read returns a full buffer
  void unplug();                                // IN reads and events fail
  std::vector<uint8_t> taken() const;           // bytes the phone has taken on OUT
  std::vector<OutSubmit> submits() const;
  int pendingOut() const;
  int inReads() const;
  void forwardTakenTo(int fd);  // also writes what the phone takes to `fd`

  // The clock of the driver (milliseconds) and of the bridge (nanoseconds).
  uint64_t nowMs() const;
  uint64_t nowNs() const { return nowMs() * 1'000'000; }
  void advanceMs(uint64_t ms);
  uint64_t clockReads() const;

  struct Xfer;

 private:
  friend struct FakeOps;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<std::unique_ptr<FakeUsbDevice>> devices_;
  std::vector<ControlCall> controls_;
  int listings_ = 0;
  bool holdListings_ = false;
  int listingNow_ = 0;
  int maxListingsAtOnce_ = 0;
  Out out_ = Out::drain;
  std::deque<std::vector<uint8_t>> inQueue_;
  bool flood_ = false;
  bool unplugged_ = false;
  int inReads_ = 0;
  std::vector<uint8_t> taken_;
  std::vector<OutSubmit> submits_;
  std::deque<Xfer*> pending_;
  int forwardFd_ = -1;
  uint64_t clockMs_ = kStartMs;
  mutable uint64_t clockReads_ = 0;
  aoa_usb_ops ops_{};
};

}  // namespace lumenrail::test
