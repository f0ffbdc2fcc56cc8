#include "media/VirtualDisplayManager.hpp"

#include <algorithm>
#include <map>
#include <mutex>
#include <thread>

namespace lumenrail {

namespace {

struct Added {
  std::shared_ptr<DisplayConfiguration> displays;
  uint32_t id;
};

// Every display added and not yet removed, process-wide, so a stop by signal
// can remove them all.
struct Registry {
  std::mutex mutex;
  uint64_t nextToken = 1;
  std::map<uint64_t, Added> added;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: a late signal thread may still use it
  return *r;
}

uint64_t enroll(std::shared_ptr<DisplayConfiguration> displays, uint32_t id) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  const uint64_t token = r.nextToken++;
  r.added.emplace(token, Added{std::move(displays), id});
  return token;
}

// True when the entry was still there (nobody removed the display yet).
bool withdraw(uint64_t token) {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.added.erase(token) == 1;
}

void sleepFor(uint64_t ns) { std::this_thread::sleep_for(std::chrono::nanoseconds(ns)); }

}  // namespace

void VirtualDisplayManager::removeAllAdded() {
  std::map<uint64_t, Added> taken;
  {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    taken.swap(r.added);
  }
  for (auto& [token, entry] : taken) entry.displays->removeVirtualDisplay(entry.id);
}

VirtualDisplayManager::VirtualDisplayManager(std::shared_ptr<DisplayConfiguration> displays, Log::Sink log,
                                             SleepNs sleepNs)
    : displays_(std::move(displays)), log_(std::move(log)), sleepNs_(sleepNs ? std::move(sleepNs) : sleepFor) {}

VirtualDisplayManager::~VirtualDisplayManager() { destroy(); }

void VirtualDisplayManager::say(const std::string& text) const {
  if (log_) {
    log_(text);
  } else {
    Log::line(text);
  }
}

bool VirtualDisplayManager::create(const Config& config) {
  // Two displays of one host would both claim the client; the old one goes first.
  if (displayID_ != 0) destroy();
  if (config.width == 0 || config.height == 0) return false;
  VirtualDisplayRequest request;
  request.name = config.name;
  request.width = config.width;
  request.height = config.height;
  request.refreshRate = config.refreshRate;
  request.widthMillimeters = config.widthMillimeters;
  request.heightMillimeters = config.heightMillimeters;
  request.maxWidth = std::max(config.width, kMinMaxPixels);
  request.maxHeight = std::max(config.height, kMinMaxPixels);

  if (const auto removed = displays_->removeLeftover(config.name)) {
    say("[vd] removed a virtual display left by an earlier run that did not stop: " + *removed);
  }
  std::string failure;
  const std::optional<uint32_t> id = displays_->addVirtualDisplay(request, failure);
  if (!id) {
    say("[vd] virtual display not created: " + failure);
    return false;
  }
  if (*id == 0) {
    // 0 names the main display everywhere else: never a display of ours.
    say("[vd] the display server refused the virtual display (id 0) \u2014 is another Lumenrail host running?");
    return false;
  }
  const uint64_t token = enroll(displays_, *id);
  if (!displays_->setVirtualMode(*id, config.width, config.height, config.refreshRate)) {
    if (withdraw(token)) displays_->removeVirtualDisplay(*id);
    return false;
  }
  displayID_ = *id;
  registration_ = token;
  if (!displays_->inputReaches(*id)) {
    say("[vd] WARN: no free output for the virtual display \u2014 it is a monitor only; the pointer and injected "
        "input cannot reach it");
  }
  return true;
}

bool VirtualDisplayManager::create(const Config& config, int64_t attempts) {
  const int64_t total = std::max<int64_t>(attempts, 1);
  for (int64_t i = 1;; ++i) {
    if (create(config)) return true;
    if (i >= total) return false;
    if (displays_->lastAddRefusedForGood()) {
      say("[vd] this display server cannot add a screen \u2014 not trying again");
      return false;
    }
    say("[vd] create rejected (attempt " + std::to_string(i) + "/" + std::to_string(total) +
        ") \u2014 retrying in 500 ms");
    sleepNs_(kRetryDelayNs);
  }
}

bool VirtualDisplayManager::applyMode(uint32_t width, uint32_t height, double refreshRate) {
  if (displayID_ == 0 || width == 0 || height == 0) return false;
  return displays_->setVirtualMode(displayID_, width, height, refreshRate);
}

bool VirtualDisplayManager::makeMain() {
  if (displayID_ == 0) return isPromotedToMain();
  if (isPromotedToMain()) return true;
  const uint32_t main = displays_->mainDisplay();
  if (main == displayID_) return true;
  const std::optional<DisplayBounds> mainBounds = displays_->bounds(main);
  const std::optional<DisplayBounds> ours = displays_->bounds(displayID_);
  if (main == 0 || !mainBounds || !ours) return false;
  if (!displays_->configure({{displayID_, 0, 0}, {main, ours->width, 0}})) return false;
  previousMain_ = PreviousMain{main, mainBounds->x, mainBounds->y};
  return true;
}

bool VirtualDisplayManager::restoreMain() {
  if (!previousMain_) return true;
  // Forgotten first: a failed restore is not tried again.
  const PreviousMain previous = *previousMain_;
  previousMain_.reset();
  const std::vector<uint32_t> active = displays_->activeDisplays();
  if (std::find(active.begin(), active.end(), previous.id) == active.end()) return false;
  std::vector<DisplayPlacement> placements{{previous.id, previous.x, previous.y}};
  if (displayID_ != 0) {
    const std::optional<DisplayBounds> oldMain = displays_->bounds(previous.id);
    if (!oldMain) return false;
    placements.push_back({displayID_, oldMain->width, 0});
  }
  return displays_->configure(placements);
}

bool VirtualDisplayManager::ensureExtended() {
  if (displayID_ == 0) return false;
  if (!displays_->mirrorOf(displayID_)) return true;
  int64_t right = 0;
  for (const uint32_t id : displays_->activeDisplays()) {
    if (id == displayID_) continue;
    if (const auto b = displays_->bounds(id)) right = std::max(right, b->x + b->width);
  }
  return displays_->configure({{displayID_, right, 0}});
}

void VirtualDisplayManager::destroy() {
  restoreMain();
  dropDisplay();
}

void VirtualDisplayManager::dropDisplay() {
  if (displayID_ == 0) return;
  // A signal thread that already removed it leaves nothing to do here.
  if (withdraw(registration_)) displays_->removeVirtualDisplay(displayID_);
  displayID_ = 0;
  registration_ = 0;
}

}  // namespace lumenrail
