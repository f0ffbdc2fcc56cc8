#include "links/AoaServeBridge.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <map>
#include <utility>

#include "wire/WireServer.hpp"

namespace lumenrail {

namespace {

// The driver keeps one process-wide message sink and may call it after the
// sink's owner is gone (the call happens outside its lock). So the sink it
// gets is this static function, which forwards to the bridges registered
// here; unregistering waits for deliveries in progress, so no line reaches a
// bridge that has finished.
class DriverSinks {
 public:
  static DriverSinks& shared() {
    static DriverSinks sinks;
    return sinks;
  }

  uint64_t add(Log::Sink sink) {
    std::lock_guard lock(mutex_);
    const uint64_t id = nextId_++;
    sinks_[id] = std::move(sink);
    return id;
  }

  void remove(uint64_t id) {
    std::unique_lock lock(mutex_);
    sinks_.erase(id);
    cv_.wait(lock, [&] { return delivering_ == 0; });
  }

  static void deliver(void*, const char* text) {
    if (text == nullptr) return;
    auto& self = shared();
    std::vector<Log::Sink> targets;
    {
      std::lock_guard lock(self.mutex_);
      for (auto& [id, sink] : self.sinks_) targets.push_back(sink);
      if (targets.empty()) return;
      ++self.delivering_;
    }
    const std::string line(text);
    for (auto& sink : targets) sink(line);
    std::lock_guard lock(self.mutex_);
    --self.delivering_;
    self.cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<uint64_t, Log::Sink> sinks_;
  uint64_t nextId_ = 1;
  int delivering_ = 0;
};

std::string quickEnds(int64_t n) {
  return "cable up and session ended at once " + std::to_string(n) + " more time(s), not logged";
}

// Waits in short slices so that an injected clock is followed.
constexpr auto kPauseSlice = std::chrono::milliseconds(100);

}  // namespace

std::shared_ptr<AoaServeBridge> AoaServeBridge::create(std::shared_ptr<WireServer> server,
                                                       std::optional<std::string> serial) {
  return std::shared_ptr<AoaServeBridge>(new AoaServeBridge(std::move(server), std::move(serial)));
}

AoaServeBridge::AoaServeBridge(std::shared_ptr<WireServer> server, std::optional<std::string> serial)
    : server_(std::move(server)), serial_(std::move(serial)) {}

AoaServeBridge::~AoaServeBridge() { stop(); }

void AoaServeBridge::report(const std::string& line) const {
  if (onEvent) onEvent(line);
}

bool AoaServeBridge::isRunning(uint64_t generation) {
  std::lock_guard lock(mutex_);
  return runningLocked(generation);
}

template <typename F>
auto AoaServeBridge::withOptions(F&& body) {
  aoa_options options{};
  options.vendor_id = 0;
  options.product_id = 0;
  options.serial = serial_ ? serial_->c_str() : nullptr;
  options.first_read_timeout_s = 0;  // the driver's default, 20 s
  return body(&options);
}

void AoaServeBridge::start() {
  uint64_t generation;
  std::shared_ptr<OneShotEvent> previous;
  auto done = std::make_shared<OneShotEvent>();
  {
    std::lock_guard lock(mutex_);
    if (running_) return;
    running_ = true;
    generation = ++generation_;
    previous = std::exchange(watcherDone_, done);
  }
  // A previous run's watcher has ended (stop() joined it) or was detached
  // when its stop timed out; then it is still finishing its pass.
  if (watcher_.joinable() && !watcher_.joinFor(0)) watcher_.detach();
  // The watcher holds the bridge until it has released every cable.
  auto self = shared_from_this();
  watcher_ = NamedThread("lumenrail-aoa-bridge", [self, generation, previous, done] {
    // One watcher at a time, and one driver: a watcher left behind by a stop
    // that timed out ends its pass (it is no longer of this generation) and
    // shuts the driver down before this one begins.
    if (previous) previous->wait();
    const uint64_t sinkId = self->onEvent ? DriverSinks::shared().add(self->onEvent) : 0;
    aoa_global_init(&DriverSinks::deliver, nullptr);
    self->loop(generation);
    aoa_global_shutdown();
    if (sinkId != 0) DriverSinks::shared().remove(sinkId);
    done->signal();
  });
}

void AoaServeBridge::stop() {
  {
    std::lock_guard lock(mutex_);
    running_ = false;
    // Under the lock: a handle in live_ is not released before its cable
    // thread takes it out, so these are all still open.
    for (aoa_session* handle : live_) aoa_stop(handle);
    cv_.notify_all();
  }
  if (!watcher_.joinable() || watcher_.isCurrent()) return;
  if (!watcher_.joinFor(stopJoinNs)) {
    report("WARN: the accessory watcher did not end in time; leaving it to finish");
    watcher_.detach();
  }
}

bool AoaServeBridge::pauseUntil(uint64_t generation, uint64_t deadlineNs) {
  std::unique_lock lock(mutex_);
  while (runningLocked(generation)) {
    const uint64_t now = nowNs();
    if (now >= deadlineNs) return true;
    const auto left = std::chrono::nanoseconds(deadlineNs - now);
    cv_.wait_for(lock, std::min<std::chrono::nanoseconds>(left, kPauseSlice));
  }
  return false;
}

void AoaServeBridge::loop(uint64_t generation) {
  report("watching for a wired Android device (AOA)");
  Reported last = Reported::nothing;
  while (isRunning(generation)) {
    // Threads of cables that have ended are joined as the watcher goes.
    std::erase_if(cableThreads_, [](NamedThread& t) {
      if (!t.finished()) return false;
      t.join();
      return true;
    });

    aoa_session* handle = nullptr;
    const int result = withOptions([&](const aoa_options* options) { return aoa_acquire(options, &handle); });
    if (result == AOA_ACQUIRED && handle != nullptr) {
      bool keep;
      {
        std::lock_guard lock(mutex_);
        keep = runningLocked(generation);
        if (keep) {
          live_.insert(handle);
          ++cablesActive_;
        }
      }
      if (keep) {
        startCable(handle, generation);
      } else {
        aoa_release(handle);
      }
      last = Reported::nothing;
      continue;  // the driver never opens a held accessory twice
    }
    if (result == AOA_NO_DEVICE) {
      bool quiet;
      {
        std::lock_guard lock(mutex_);
        quiet = !live_.empty();
      }
      if (last != Reported::noDevice && !quiet) {
        report("no wired Android device — waiting");
        last = Reported::noDevice;
      }
      pauseUntil(generation, nowNs() + kNoDevicePollNs);
    } else if (result == AOA_SWITCHING) {
      if (last != Reported::switching) {
        report("phone switching into accessory mode — waiting for it to re-enumerate");
      }
      last = Reported::switching;
      pauseUntil(generation, nowNs() + kSwitchingPollNs);
    } else {
      if (last != Reported::unusable) report("device present but not usable as an accessory — retrying");
      last = Reported::unusable;
      pauseUntil(generation, nowNs() + kNoDevicePollNs);
    }
  }
  {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return cablesActive_ == 0; });
  }
  for (auto& t : cableThreads_) t.join();
  cableThreads_.clear();
  int64_t untold;
  {
    std::lock_guard lock(mutex_);
    untold = backoff_.takeUntold();
  }
  if (untold > 0) report(quickEnds(untold));
  report("stopped");
}

void AoaServeBridge::startCable(aoa_session* handle, uint64_t generation) {
  auto self = shared_from_this();
  cableThreads_.emplace_back("lumenrail-aoa-cable", [self, handle, generation] { self->runCable(handle, generation); });
}

void AoaServeBridge::runCable(aoa_session* handle, uint64_t generation) {
  const uint64_t started = nowNs();
  uint64_t sessionStarted = started;
  while (isRunning(generation)) {
    sessionStarted = nowNs();
    const int32_t result = serveSession(handle, generation);
    if (result == AOA_PHONE_SILENT) {
      report("no Lumenrail client on this cable — holding it until one connects");
    } else if (result == AOA_CLIENT_DECLINED) {
      report("the client is not taking the cable — session ended, waiting for it to connect");
    } else {
      break;
    }
    if (aoa_await_connect(handle) != 0) break;
  }
  // A cable that fails at once is not reopened in a tight loop, and one that
  // keeps failing (a full server) waits longer each time.
  uint64_t lifeNs = kMinCableLifeNs;
  RedialBackoff::End end;
  int64_t inRow = 0;
  {
    std::lock_guard lock(mutex_);
    if (runningLocked(generation)) {
      end = backoff_.ended(nowNs() - sessionStarted);
      inRow = backoff_.quickEnds();
      lifeNs = std::max(lifeNs, end.waitNs);
    }
  }
  if (end.untold > 0) report(quickEnds(end.untold));
  if (end.reachedCap) {
    report("cable session ended at once " + std::to_string(inRow) + " times in a row — reopening every " +
           std::to_string(RedialBackoff::kMaxWaitNs / kNsPerSecond) + " s");
  }
  pauseUntil(generation, started + lifeNs);
  {
    std::lock_guard lock(mutex_);
    live_.erase(handle);
  }
  aoa_release(handle);
  std::lock_guard lock(mutex_);
  --cablesActive_;
  cv_.notify_all();  // under the lock: the watcher may finish (and free the bridge) right after
}

int32_t AoaServeBridge::serveSession(aoa_session* handle, uint64_t generation) {
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
    report("socketpair failed (" + std::to_string(errno) + ") — cannot serve this cable");
    return AOA_USB_ERROR;
  }
  bool tell;
  {
    std::lock_guard lock(mutex_);
    tell = backoff_.tellsNext();
  }
  if (tell) report("cable up — serving over AOA");
  server_->adopt(pair[0], nullptr);  // the server owns this end from here on
  const int32_t result = aoa_pump(handle, pair[1]);
  ::close(pair[1]);
  if (result == AOA_NEVER_READ) pauseUntil(generation, nowNs() + kNeverReadPauseNs);
  return result;
}

}  // namespace lumenrail
