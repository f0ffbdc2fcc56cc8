#include "FakeAoaUsb.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

#include "links/aoa/aoa.h"

namespace lumenrail::test {

namespace {
FakeAoaUsb* gFake = nullptr;
int gContextToken = 0;
constexpr int kFloodBytes = 64 * 1024;
}  // namespace

struct FakeAoaUsb::Xfer {
  bool pending = false;
  bool cancelled = false;
  std::vector<uint8_t> data;
  aoa_usb_out_done done = nullptr;
  void* user = nullptr;
};

struct FakeOps {
  static FakeAoaUsb& f() { return *gFake; }

  static int init(void** ctx) {
    *ctx = &gContextToken;
    return 0;
  }
  static void exit(void*) {}
  static long getDeviceList(void*, void** list) {
    auto& fake = f();
    std::unique_lock lock(fake.mutex_);
    ++fake.listingNow_;
    fake.maxListingsAtOnce_ = std::max(fake.maxListingsAtOnce_, fake.listingNow_);
    fake.cv_.notify_all();
    fake.cv_.wait(lock, [&] { return !fake.holdListings_; });
    --fake.listingNow_;
    ++fake.listings_;
    auto* devices = new std::vector<FakeUsbDevice*>();
    for (auto& d : fake.devices_) devices->push_back(d.get());
    *list = devices;
    return static_cast<long>(devices->size());
  }
  static void* listDevice(void* list, long index) {
    return (*static_cast<std::vector<FakeUsbDevice*>*>(list))[static_cast<size_t>(index)];
  }
  static void freeDeviceList(void* list) { delete static_cast<std::vector<FakeUsbDevice*>*>(list); }
  static int describe(void* device, aoa_usb_device_info* info) {
    std::lock_guard lock(f().mutex_);
    auto* d = static_cast<FakeUsbDevice*>(device);
    info->vendor_id = d->vendor;
    info->product_id = d->product;
    info->serial_index = d->serial ? 3 : 0;
    info->bus = d->bus;
    info->address = d->address;
    return 0;
  }
  static int open(void* device, void** handle) {
    std::lock_guard lock(f().mutex_);
    auto* d = static_cast<FakeUsbDevice*>(device);
    if (d->openError != 0) return d->openError;
    ++d->opens;
    *handle = d;
    return 0;
  }
  static void close(void* handle) {
    std::lock_guard lock(f().mutex_);
    ++static_cast<FakeUsbDevice*>(handle)->closes;
  }
  static int getStringAscii(void* handle, uint8_t, char* buf, int len) {
    std::lock_guard lock(f().mutex_);
    auto* d = static_cast<FakeUsbDevice*>(handle);
    if (d->serialError != 0) return d->serialError;
    if (!d->serial) return AOA_USB_ERROR_PIPE;
    const int n = std::min<int>(len, static_cast<int>(d->serial->size()));
    std::memcpy(buf, d->serial->data(), static_cast<size_t>(n));
    return n;
  }
  static int interface0Endpoints(void* handle, aoa_usb_endpoint* eps, int max) {
    std::lock_guard lock(f().mutex_);
    auto* d = static_cast<FakeUsbDevice*>(handle);
    int n = 0;
    for (auto& e : d->endpoints) {
      if (n == max) break;
      eps[n++] = e;
    }
    return n;
  }
  static int setAutoDetach(void*, int) { return 0; }
  static int claimInterface(void* handle, int) {
    std::lock_guard lock(f().mutex_);
    auto* d = static_cast<FakeUsbDevice*>(handle);
    ++d->claims;
    return d->claimError;
  }
  static int releaseInterface(void* handle, int) {
    std::lock_guard lock(f().mutex_);
    ++static_cast<FakeUsbDevice*>(handle)->releases;
    return 0;
  }
  static int controlTransfer(void* handle, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                             unsigned char* data, uint16_t length, unsigned) {
    auto& fake = f();
    std::lock_guard lock(fake.mutex_);
    auto* d = static_cast<FakeUsbDevice*>(handle);
    ControlCall call{type, request, value, index, {}};
    if (type & 0x80) {
      if (request == d->failRequest) {
        fake.controls_.push_back(call);
        return AOA_USB_ERROR_PIPE;
      }
      if (length >= 2) {
        data[0] = static_cast<unsigned char>(d->protocol & 0xFF);
        data[1] = static_cast<unsigned char>(d->protocol >> 8);
      }
      fake.controls_.push_back(call);
      return 2;
    }
    if (data != nullptr) call.data.assign(data, data + length);
    fake.controls_.push_back(call);
    return request == d->failRequest ? int(AOA_USB_ERROR_PIPE) : int(length);
  }
  static int bulkTransfer(void*, uint8_t endpoint, unsigned char* data, int length, int* transferred,
                          unsigned timeoutMs) {
    auto& fake = f();
    *transferred = 0;
    if (!(endpoint & 0x80)) return AOA_USB_ERROR_IO;  // the driver writes OUT asynchronously only
    std::unique_lock lock(fake.mutex_);
    ++fake.inReads_;
    fake.cv_.notify_all();
    fake.cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                      [&] { return fake.unplugged_ || fake.flood_ || !fake.inQueue_.empty(); });
    if (fake.unplugged_) return AOA_USB_ERROR_NO_DEVICE;
    if (fake.flood_) {
      const int n = std::min(length, kFloodBytes);
      std::memset(data, 0x33, static_cast<size_t>(n));
      *transferred = n;
      return 0;
    }
    if (fake.inQueue_.empty()) return AOA_USB_ERROR_TIMEOUT;
    auto& front = fake.inQueue_.front();
    const int n = std::min<int>(length, static_cast<int>(front.size()));
    std::memcpy(data, front.data(), static_cast<size_t>(n));
    front.erase(front.begin(), front.begin() + n);
    if (front.empty()) fake.inQueue_.pop_front();
    *transferred = n;
    return 0;
  }
  static void* allocOut() { return new FakeAoaUsb::Xfer(); }
  static int submitOut(void* xfer, void*, uint8_t, unsigned char* data, int length, int zeroPacket,
                       aoa_usb_out_done done, void* user) {
    auto& fake = f();
    std::lock_guard lock(fake.mutex_);
    if (fake.unplugged_) return AOA_USB_ERROR_NO_DEVICE;
    auto* x = static_cast<FakeAoaUsb::Xfer*>(xfer);
    x->pending = true;
    x->cancelled = false;
    x->data.assign(data, data + length);
    x->done = done;
    x->user = user;
    fake.submits_.push_back({length, zeroPacket != 0});
    fake.pending_.push_back(x);
    fake.cv_.notify_all();
    return 0;
  }
  static int cancelOut(void* xfer) {
    auto& fake = f();
    std::lock_guard lock(fake.mutex_);
    auto* x = static_cast<FakeAoaUsb::Xfer*>(xfer);
    if (!x->pending) return AOA_USB_ERROR_NOT_FOUND;
    x->cancelled = true;
    fake.cv_.notify_all();
    return 0;
  }
  static void freeOut(void* xfer) { delete static_cast<FakeAoaUsb::Xfer*>(xfer); }

  struct Completion {
    FakeAoaUsb::Xfer* x;
    aoa_usb_transfer_status status;
    int length;
  };

  // Takes what the phone's mode lets complete; the callbacks run unlocked,
  // as libusb runs them.
  static int handleEvents(void*, int timeoutMs) {
    auto& fake = f();
    std::vector<Completion> done;
    {
      std::unique_lock lock(fake.mutex_);
      auto ready = [&] {
        for (auto* x : fake.pending_) {
          if (x->cancelled || fake.out_ != FakeAoaUsb::Out::hold) return true;
        }
        return false;
      };
      fake.cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
      for (auto it = fake.pending_.begin(); it != fake.pending_.end();) {
        auto* x = *it;
        const int length = static_cast<int>(x->data.size());
        if (x->cancelled) {
          done.push_back({x, AOA_USB_TRANSFER_CANCELLED, 0});
        } else if (fake.out_ == FakeAoaUsb::Out::drain) {
          fake.taken_.insert(fake.taken_.end(), x->data.begin(), x->data.end());
          if (fake.forwardFd_ >= 0) {
            size_t at = 0;
            while (at < x->data.size()) {
              const ssize_t n = ::write(fake.forwardFd_, x->data.data() + at, x->data.size() - at);
              if (n <= 0) break;
              at += static_cast<size_t>(n);
            }
          }
          done.push_back({x, AOA_USB_TRANSFER_COMPLETED, length});
        } else if (fake.out_ == FakeAoaUsb::Out::shortNext) {
          done.push_back({x, AOA_USB_TRANSFER_COMPLETED, length - 1});
          fake.out_ = FakeAoaUsb::Out::hold;
        } else if (fake.out_ == FakeAoaUsb::Out::failNext) {
          done.push_back({x, AOA_USB_TRANSFER_FAILED, 0});
          fake.out_ = FakeAoaUsb::Out::hold;
        } else {
          ++it;
          continue;
        }
        x->pending = false;
        it = fake.pending_.erase(it);
      }
      fake.cv_.notify_all();
    }
    for (auto& c : done) c.x->done(c.x->user, c.status, c.length);
    return 0;
  }
  static const char* errorName(int code) {
    switch (code) {
      case AOA_USB_ERROR_ACCESS: return "ERROR_ACCESS";
      case AOA_USB_ERROR_NO_DEVICE: return "ERROR_NO_DEVICE";
      case AOA_USB_ERROR_PIPE: return "ERROR_PIPE";
      case AOA_USB_ERROR_TIMEOUT: return "ERROR_TIMEOUT";
      default: return "ERROR_OTHER";
    }
  }
  static uint64_t nowMs() { return f().nowMs(); }
};

FakeAoaUsb::FakeAoaUsb() {
  if (gFake != nullptr) throw std::logic_error("one FakeAoaUsb at a time");
  gFake = this;
  ops_.init = FakeOps::init;
  ops_.exit = FakeOps::exit;
  ops_.get_device_list = FakeOps::getDeviceList;
  ops_.list_device = FakeOps::listDevice;
  ops_.free_device_list = FakeOps::freeDeviceList;
  ops_.describe = FakeOps::describe;
  ops_.open = FakeOps::open;
  ops_.close = FakeOps::close;
  ops_.get_string_ascii = FakeOps::getStringAscii;
  ops_.interface0_endpoints = FakeOps::interface0Endpoints;
  ops_.set_auto_detach = FakeOps::setAutoDetach;
  ops_.claim_interface = FakeOps::claimInterface;
  ops_.release_interface = FakeOps::releaseInterface;
  ops_.control_transfer = FakeOps::controlTransfer;
  ops_.bulk_transfer = FakeOps::bulkTransfer;
  ops_.alloc_out = FakeOps::allocOut;
  ops_.submit_out = FakeOps::submitOut;
  ops_.cancel_out = FakeOps::cancelOut;
  ops_.free_out = FakeOps::freeOut;
  ops_.handle_events = FakeOps::handleEvents;
  ops_.error_name = FakeOps::errorName;
  ops_.now_ms = FakeOps::nowMs;
  aoa_forget_devices();
  aoa_set_usb_ops(&ops_);
}

FakeAoaUsb::~FakeAoaUsb() {
  aoa_set_usb_ops(nullptr);
  aoa_forget_devices();
  gFake = nullptr;
}

void FakeAoaUsb::addDevice(const FakeUsbDevice& device) {
  std::lock_guard lock(mutex_);
  devices_.push_back(std::make_unique<FakeUsbDevice>(device));
}

FakeUsbDevice FakeAoaUsb::device(size_t index) const {
  std::lock_guard lock(mutex_);
  return *devices_.at(index);
}

void FakeAoaUsb::setOpenError(size_t index, int error) {
  std::lock_guard lock(mutex_);
  devices_.at(index)->openError = error;
}

std::vector<ControlCall> FakeAoaUsb::controls() const {
  std::lock_guard lock(mutex_);
  return controls_;
}

void FakeAoaUsb::holdListings(bool hold) {
  std::lock_guard lock(mutex_);
  holdListings_ = hold;
  cv_.notify_all();
}

bool FakeAoaUsb::waitListingHeld(uint64_t timeoutMs) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return listingNow_ > 0; });
}

int FakeAoaUsb::maxListingsAtOnce() const {
  std::lock_guard lock(mutex_);
  return maxListingsAtOnce_;
}

int FakeAoaUsb::listings() const {
  std::lock_guard lock(mutex_);
  return listings_;
}

void FakeAoaUsb::setOut(Out mode) {
  std::lock_guard lock(mutex_);
  out_ = mode;
  cv_.notify_all();
}

void FakeAoaUsb::phoneSends(std::vector<uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  inQueue_.push_back(std::move(bytes));
  cv_.notify_all();
}

void FakeAoaUsb::phoneFloods() {
  std::lock_guard lock(mutex_);
  flood_ = true;
  cv_.notify_all();
}

void FakeAoaUsb::unplug() {
  std::lock_guard lock(mutex_);
  unplugged_ = true;
  cv_.notify_all();
}

std::vector<uint8_t> FakeAoaUsb::taken() const {
  std::lock_guard lock(mutex_);
  return taken_;
}

std::vector<OutSubmit> FakeAoaUsb::submits() const {
  std::lock_guard lock(mutex_);
  return submits_;
}

int FakeAoaUsb::pendingOut() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(pending_.size());
}

int FakeAoaUsb::inReads() const {
  std::lock_guard lock(mutex_);
  return inReads_;
}

void FakeAoaUsb::forwardTakenTo(int fd) {
  std::lock_guard lock(mutex_);
  forwardFd_ = fd;
}

uint64_t FakeAoaUsb::nowMs() const {
  std::lock_guard lock(mutex_);
  ++clockReads_;
  return clockMs_;
}

void FakeAoaUsb::advanceMs(uint64_t ms) {
  std::lock_guard lock(mutex_);
  clockMs_ += ms;
  cv_.notify_all();
}

uint64_t FakeAoaUsb::clockReads() const {
  std::lock_guard lock(mutex_);
  return clockReads_;
}

}  // namespace lumenrail::test
