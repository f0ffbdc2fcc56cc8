#include "session/DisplayModeControl.hpp"

#include "input/PenDisplayPolicy.hpp"
#include "session/LaneEncoders.hpp"

namespace lumenrail {

DisplayModeControl::DisplayModeControl(Config config)
    : config_(std::move(config)), mirror_(config_.mirror), penHighRate_(config_.penHighRate) {
  noteMode(config_.mode);
}

DisplayModeControl::~DisplayModeControl() {
  // Injectors may still map a late sample; they then get no frame size.
  std::lock_guard lock(target_->lock);
  target_->alive = false;
}

double DisplayModeControl::refreshRate(const Mode& mode, bool penHighRate) const {
  return PenDisplayPolicy::virtualDisplayHz(
      mode.fps, penHighRate,
      config_.refreshOverride ? std::optional<std::string_view>(*config_.refreshOverride) : std::nullopt);
}

std::string DisplayModeControl::label(const Mode& mode) const {
  const double rate = refreshRate(mode, penHighRate_.load());
  if (rate == static_cast<double>(mode.fps)) return LaneEncoders::label(mode);
  return std::to_string(mode.width) + "x" + std::to_string(mode.height) + "@" +
         std::to_string(static_cast<int64_t>(rate)) + "Hz display, " + std::to_string(mode.fps) + " fps stream";
}

VirtualDisplayManager::Config DisplayModeControl::virtualDisplayConfig(const Mode& mode) const {
  VirtualDisplayManager::Config vc;
  vc.name = "Lumenrail Display";
  vc.width = static_cast<uint32_t>(mode.width);
  vc.height = static_cast<uint32_t>(mode.height);
  vc.refreshRate = refreshRate(mode, penHighRate_.load());
  vc.widthMillimeters = 345.0;
  vc.heightMillimeters = 194.0;
  return vc;
}

bool DisplayModeControl::createVirtualDisplay(const Mode& mode) {
  if (!displays_) return false;
  vd_ = std::make_unique<VirtualDisplayManager>(displays_, config_.log);
  if (!vd_->create(virtualDisplayConfig(mode), 4)) {
    extendRefused_ = displays_->lastAddRefusedForGood();
    vd_.reset();
    return false;
  }
  extendRefused_ = false;
  noteDisplay();
  say("[m2] virtual display " + std::to_string(vd_->displayID()) + " created (" + label(mode) + ")");
  return true;
}

void DisplayModeControl::destroyVirtualDisplay() {
  if (vd_) {
    // Removing the display also puts the old main display back.
    vd_->destroy();
    vd_.reset();
  }
  noteDisplay();
}

void DisplayModeControl::noteDisplay() {
  const uint32_t id = vd_ ? vd_->displayID() : 0;
  vdId_ = id;
  std::lock_guard lock(target_->lock);
  target_->vdId = id;
}

void DisplayModeControl::noteMode(const Mode& mode) {
  std::lock_guard lock(target_->lock);
  target_->width = mode.width;
  target_->height = mode.height;
}

// ---- start and stop --------------------------------------------------------------

void DisplayModeControl::start(const Mode& mode) {
  try {
    displays_ = config_.desktop->openDisplays();
  } catch (const std::exception& e) {
    say("[m2] WARN: cannot reach the display server: " + std::string(e.what()));
  }
  {
    std::lock_guard lock(target_->lock);
    target_->displays = displays_;
  }
  if (mirror_) {
    say("[m2] capturing main display (--capture-main)");
  } else if (!createVirtualDisplay(mode)) {
    say("[m2] WARN: virtual display create failed — falling back to main display capture (mirror)");
    mirror_ = true;
  }
}

void DisplayModeControl::dropVirtualDisplay() { destroyVirtualDisplay(); }

uint32_t DisplayModeControl::prepareCapture() {
  if (!vd_) return 0;
  vd_->ensureExtended();
  return vd_->displayID();
}

// ---- live changes ------------------------------------------------------------------

void DisplayModeControl::followMode(const Mode& m, bool clientsConnected) {
  if (mirror_.load() || !vd_) return;
  const double rate = refreshRate(m, penHighRate_.load());
  if (vd_->applyMode(static_cast<uint32_t>(m.width), static_cast<uint32_t>(m.height), rate)) {
    say("[m2] virtual display " + std::to_string(vd_->displayID()) + " mode → " + label(m));
  } else {
    say("[m2] virtual display applyMode failed — recreating");
    vd_->destroy();
    penHighRateApplied_ = false;
    if (vd_->create(virtualDisplayConfig(m))) {
      say("[m2] virtual display recreated (id " + std::to_string(vd_->displayID()) + ")");
    } else {
      say("[m2] WARN: virtual display recreate failed — capturing main display (mirror)");
      vd_.reset();
      mirror_ = true;
    }
    noteDisplay();
  }
  if (vd_) promote(penHighRate_.load() && clientsConnected, m);
}

bool DisplayModeControl::changes(bool mirror) const {
  const auto name = [](bool on) { return std::string(on ? "mirror" : "extend"); };
  const bool wasMirror = mirror_.load();
  if (mirror == wasMirror) {
    say("[m2] display mode already " + name(mirror) + " — no change");
    return false;
  }
  say("[m2] display mode " + name(wasMirror) + " → " + name(mirror));
  return true;
}

void DisplayModeControl::switchTo(bool mirror, const Mode& mode, bool clientsConnected) {
  if (!mirror) {
    if (!vd_) createVirtualDisplay(mode);
    if (!vd_) say("[m2] WARN: virtual display create failed — staying on mirror");
  } else {
    destroyVirtualDisplay();
    extendRefused_ = false;
  }
  if (!vd_) penHighRateApplied_ = false;
  // What is really captured: a failed switch to extend stays on mirror.
  mirror_ = !vd_;
  noteDisplay();
  if (vd_) promote(penHighRate_.load() && clientsConnected, mode);
}

void DisplayModeControl::setPenHighRate(bool on, const Mode& mode, bool clientsConnected) {
  if (on == penHighRate_.load()) return;
  penHighRate_ = on;
  say(on ? "[pen] high-rate pen mode ON" : "[pen] high-rate pen mode OFF");
  promote(on && clientsConnected, mode);
}

void DisplayModeControl::promote(bool on, const Mode& m) {
  if (!vd_ || mirror_.load() || on == penHighRateApplied_) return;
  const auto w = static_cast<uint32_t>(m.width);
  const auto h = static_cast<uint32_t>(m.height);
  if (on) {
    const double rate = refreshRate(m, true);
    vd_->applyMode(w, h, rate);
    if (!vd_->makeMain()) {
      say("[pen] high-rate: main-display promotion REFUSED by the display server");
      return;
    }
    penHighRateApplied_ = true;
    // The display server may give the display another rate than the one asked for (Mutter keeps its own).
    const double real = vd_->refreshRate().value_or(rate);
    say("[pen] high-rate: Lumenrail display is now main at " + std::to_string(static_cast<int64_t>(real)) +
        " Hz — pen delivery ceiling follows it");
  } else {
    vd_->restoreMain();
    vd_->applyMode(w, h, refreshRate(m, false));
    penHighRateApplied_ = false;
    say("[pen] high-rate: main display restored");
  }
}

// ---- the pen's target ------------------------------------------------------------------

std::function<PenMapper::TargetRect()> DisplayModeControl::targetRect() const {
  return [target = target_] {
    std::lock_guard lock(target->lock);
    // Before the display is known, the stream's own size at the origin.
    PenMapper::TargetRect fallback{0, 0, static_cast<double>(target->width), static_cast<double>(target->height)};
    if (!target->displays) return fallback;
    const uint32_t id = target->vdId != 0 ? target->vdId : target->displays->mainDisplay();
    const auto bounds = target->displays->bounds(id);
    if (!bounds) return fallback;
    return PenMapper::TargetRect{static_cast<double>(bounds->x), static_cast<double>(bounds->y),
                                 static_cast<double>(bounds->width), static_cast<double>(bounds->height)};
  };
}

std::function<std::optional<PenMapper::FrameSize>()> DisplayModeControl::frameSize() const {
  return [target = target_]() -> std::optional<PenMapper::FrameSize> {
    std::lock_guard lock(target->lock);
    if (!target->alive) return std::nullopt;
    return PenMapper::FrameSize{static_cast<double>(target->width), static_cast<double>(target->height)};
  };
}

}  // namespace lumenrail
