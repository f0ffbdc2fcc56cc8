#include "links/UsbmuxServeBridge.hpp"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <utility>
#include <vector>

#include "platform/Clock.hpp"
#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {

std::string quickCloses(int64_t n) {
  return "tunnel up and closed at once " + std::to_string(n) + " more time(s), not logged";
}

}  // namespace

std::shared_ptr<UsbmuxServeBridge> UsbmuxServeBridge::create(std::shared_ptr<WireServer> server, uint16_t port,
                                                             std::optional<std::string> serial) {
  return std::shared_ptr<UsbmuxServeBridge>(new UsbmuxServeBridge(std::move(server), port, std::move(serial)));
}

UsbmuxServeBridge::UsbmuxServeBridge(std::shared_ptr<WireServer> server, uint16_t port,
                                     std::optional<std::string> serial)
    : port_(port), server_(std::move(server)), serial_(std::move(serial)) {}

UsbmuxServeBridge::~UsbmuxServeBridge() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    wake_.notify_all();
  }
  // thread_'s destructor joins (bounded), or detaches when this runs on the worker itself.
}

void UsbmuxServeBridge::start() {
  {
    std::lock_guard lock(mutex_);
    running_ = true;
  }
  std::weak_ptr<UsbmuxServeBridge> weak = weak_from_this();
  thread_ = NamedThread("lumenrail-usbmux-bridge", [weak] { run(weak); });
}

void UsbmuxServeBridge::stop() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    wake_.notify_all();
  }
  if (thread_.isCurrent()) return;
  // A pass is at most two exchanges, each bounded by the endpoint's time-out.
  const uint64_t exchangeNs = endpoint.timeoutMs > 0 ? uint64_t(endpoint.timeoutMs) * kNsPerMs : 0;
  if (exchangeNs == 0) return;  // unbounded exchanges: never block the caller on one
  if (!thread_.joinFor(2 * exchangeNs + kNsPerSecond)) report("WARN: usbmuxd exchange still running at stop");
}

bool UsbmuxServeBridge::tunnelActive() const {
  std::lock_guard lock(mutex_);
  return active_;
}

void UsbmuxServeBridge::report(const std::string& line) const {
  if (onEvent) onEvent(line);
}

bool UsbmuxServeBridge::pause(uint64_t ns) {
  if (waitForTesting) {
    waitForTesting(ns);
    std::lock_guard lock(mutex_);
    return running_;
  }
  std::unique_lock lock(mutex_);
  wake_.wait_for(lock, std::chrono::nanoseconds(ns), [this] { return !running_; });
  return running_;
}

void UsbmuxServeBridge::run(const std::weak_ptr<UsbmuxServeBridge>& weak) {
  uint16_t port = 0;
  {
    auto self = weak.lock();
    if (!self) return;
    port = self->port_;
    self->report("watching usbmuxd for a USB device (dialing port " + std::to_string(port) + ")");
  }
  // The last waiting line, so each waiting state is reported once per run.
  std::string quiet;
  for (;;) {
    auto self = weak.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      if (!self->running_) break;
    }
    self->pass(quiet);
  }
  if (auto self = weak.lock()) {
    int64_t untold;
    {
      std::lock_guard lock(self->mutex_);
      untold = self->backoff_.takeUntold();
    }
    if (untold > 0) self->report(quickCloses(untold));
    self->report("bridge stopped");
  }
}

void UsbmuxServeBridge::pass(std::string& quiet) {
  {
    std::unique_lock lock(mutex_);
    if (active_) {
      // Serving: the close callback wakes us.
      wake_.wait(lock, [this] { return !active_ || !running_; });
      quiet.clear();
      return;
    }
  }
  uint64_t redialWait;
  {
    std::lock_guard lock(mutex_);
    redialWait = std::exchange(redialWaitNs_, 0);
  }
  if (redialWait > 0 && !pause(redialWait)) return;
  const auto waiting = [&](const std::string& line, uint64_t ns) {
    if (line != quiet) report(line);
    quiet = line;
    pause(ns);
  };

  std::vector<UsbmuxClient::Device> devices;
  try {
    devices = UsbmuxClient::listDevices(endpoint);
  } catch (const UsbmuxClient::UsbmuxError& e) {
    // A daemon that is not there is not the same as no device: say which.
    if (e.daemonUnreachable()) {
      waiting("usbmuxd is not running (" + e.description() + ") — waiting", idlePollNs);
    } else {
      waiting("usbmuxd listing failed (" + e.description() + ") — waiting", idlePollNs);
    }
    return;
  } catch (const std::exception& e) {
    waiting(std::string("usbmuxd listing failed (") + e.what() + ") — waiting", idlePollNs);
    return;
  }

  const UsbmuxClient::Device* device = nullptr;
  for (const auto& d : devices) {
    if (!d.isUSB()) continue;
    if (serial_ && d.serial != *serial_) continue;
    device = &d;
    break;
  }
  if (!device) {
    waiting("no USB device attached — waiting", idlePollNs);
    return;
  }

  const std::string name = "device " + std::to_string(device->deviceID) + " (" + device->serial + ")";
  int fd = -1;
  try {
    fd = UsbmuxClient::connect(device->deviceID, port_, endpoint);
  } catch (const UsbmuxClient::UsbmuxError& e) {
    if (e.kind == UsbmuxClient::UsbmuxError::Kind::connectRefused && e.result == 3) {
      waiting(name + " attached but nothing is listening on :" + std::to_string(port_) +
                  " — waiting for the client app to tap \"Connect over USB\"",
              refusedPollNs);
      return;
    }
    quiet.clear();
    report("connect failed: " + e.description() + " — retrying");
    pause(idlePollNs);
    return;
  } catch (const std::exception& e) {
    quiet.clear();
    report(std::string("connect error: ") + e.what() + " — retrying");
    pause(idlePollNs);
    return;
  }

  quiet.clear();
  bool tell;
  {
    std::lock_guard lock(mutex_);
    if (!running_) {
      // Stopped while dialling: start no session the owner no longer expects.
      ::close(fd);
      return;
    }
    active_ = true;
    upNs_ = nowNs();
    tell = backoff_.tellsNext();
  }
  if (tell) report("tunnel up → " + name + " :" + std::to_string(port_));
  std::weak_ptr<UsbmuxServeBridge> weak = weak_from_this();
  // A full server closes the tunnel inside adopt(), on this thread.
  server_->adopt(fd, [weak] {
    auto self = weak.lock();
    if (!self) return;
    RedialBackoff::End end;
    int64_t inRow;
    {
      std::lock_guard lock(self->mutex_);
      self->active_ = false;
      end = self->backoff_.ended(self->nowNs() - self->upNs_);
      inRow = self->backoff_.quickEnds();
      self->redialWaitNs_ = end.waitNs;
      self->wake_.notify_all();
    }
    if (end.untold > 0) self->report(quickCloses(end.untold));
    if (end.tell) self->report("tunnel closed — will redial");
    if (end.reachedCap) {
      self->report("tunnel closed at once " + std::to_string(inRow) + " times in a row — redialling every " +
                   std::to_string(RedialBackoff::kMaxWaitNs / kNsPerSecond) + " s");
    }
  });
}

}  // namespace lumenrail
