#include "input/PenMapper.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace lumenrail {

namespace {

constexpr double kNormMax = 65535.0;

// The share of the frame the display's picture fills, and where it starts;
// the picture is centred with bars on two sides.
struct Letterbox {
  double sx = 1, sy = 1, ox = 0, oy = 0;
};

std::optional<Letterbox> letterbox(const Rect& rect, const std::optional<Size>& frame) {
  if (!(rect.width > 0) || !(rect.height > 0) || !frame) return std::nullopt;
  if (!(frame->width > 0) || !(frame->height > 0)) return std::nullopt;
  const double a = rect.width / rect.height;
  const double f = frame->width / frame->height;
  if (!std::isfinite(a) || !std::isfinite(f)) return std::nullopt;
  Letterbox box;
  box.sx = a < f ? a / f : 1.0;
  box.sy = a > f ? f / a : 1.0;
  box.ox = (1.0 - box.sx) / 2.0;
  box.oy = (1.0 - box.sy) / 2.0;
  return box;
}

double clampUnit(double u) {
  if (!(u > 0)) return 0;
  return u > 1 ? 1 : u;
}

// A rectangle one point wide (or narrower) has nowhere to spread across, with
// or without the letterbox.
double spread(double origin, double length, double u) {
  return length > 1 ? origin + (length - 1) * u : origin;
}

Point position(const Wire::InputPointer& p, const Rect& rect, const std::optional<Letterbox>& box) {
  double u = p.xNorm / kNormMax;
  double v = p.yNorm / kNormMax;
  if (box) {
    u = clampUnit((u - box->ox) / box->sx);
    v = clampUnit((v - box->oy) / box->sy);
  }
  return {spread(rect.x, rect.width, u), spread(rect.y, rect.height, v)};
}

PenMapper::Event releaseOf(uint8_t id, const PenMapper::Track& track, PenMapper::Action action) {
  PenMapper::Event e;
  e.pointerId = id;
  e.action = action;
  e.isPen = track.isPen;
  e.isEraser = track.isEraser;
  e.x = track.x;
  e.y = track.y;
  return e;
}

// A pen that ends in contact also leaves proximity: otherwise the system
// would keep it in range, holding its button state, until some later sample.
void appendRelease(std::vector<PenMapper::Event>& out, uint8_t id, const PenMapper::Track& track) {
  if (track.phase == PenMapper::Phase::contact) {
    out.push_back(releaseOf(id, track, PenMapper::Action::up));
    if (track.isPen) out.push_back(releaseOf(id, track, PenMapper::Action::hoverExit));
  } else {
    out.push_back(releaseOf(id, track, PenMapper::Action::hoverExit));
  }
}

}  // namespace

PenMapper::PenMapper(const Wire::InputCaps& caps) : caps_(caps) {}

std::vector<PenMapper::Event> PenMapper::mapSample(const Wire::InputSample& sample, const TargetRect& rect,
                                                   const std::optional<FrameSize>& frame) {
  const std::optional<Letterbox> box = letterbox(rect, frame);
  const bool hasPressure = caps_.axisMask & Wire::InputAxis::pressure;
  const bool hasTilt = caps_.axisMask & Wire::InputAxis::tilt;
  const bool hasOrientation = caps_.axisMask & Wire::InputAxis::orientation;

  std::vector<Event> events;
  std::set<uint8_t> seen;
  for (const Wire::InputPointer& p : sample.pointers) {
    seen.insert(p.pointerId);
    const bool isPen = p.tool != Wire::PenTool::finger;
    const bool isEraser = p.tool == Wire::PenTool::eraser || (p.flags & Wire::PenFlag::eraser);
    auto found = tracks_.find(p.pointerId);
    if (found != tracks_.end()) {
      const Track& old = found->second;
      if (old.isPen != isPen || (old.phase == Phase::contact && old.isEraser != isEraser)) {
        // Another tool on the same pointer: the old one lets go first, so no
        // button, tip or proximity it held stays down under the new one.
        appendRelease(events, p.pointerId, old);
        tracks_.erase(found);
        found = tracks_.end();
      }
    }
    const bool hadTrack = found != tracks_.end();
    const bool wasContact = hadTrack && found->second.phase == Phase::contact;

    const bool inContact = p.flags & Wire::PenFlag::inContact;
    // Fingers have no hover: a finger that is not in contact is out.
    const bool hovering = !inContact && (p.flags & Wire::PenFlag::inRange) && isPen;

    std::optional<Action> action;
    if (inContact) {
      action = wasContact ? Action::drag : Action::down;
    } else if (hovering) {
      action = wasContact ? Action::up : Action::hoverMove;
    } else if (wasContact) {
      action = Action::up;
    } else if (hadTrack) {
      action = Action::hoverExit;
    }

    const Point at = position(p, rect, box);
    Event e;
    e.pointerId = p.pointerId;
    e.isPen = isPen;
    e.isEraser = isEraser;
    e.barrel = p.flags & Wire::PenFlag::barrel;
    e.x = at.x;
    e.y = at.y;
    e.pressure = hasPressure ? p.pressure / kNormMax : (inContact ? 1.0 : 0.0);
    if (hasTilt) {
      e.tiltX = std::clamp(p.tiltXCentideg / 9000.0, -1.0, 1.0);
      e.tiltY = std::clamp(p.tiltYCentideg / 9000.0, -1.0, 1.0);
    }
    if (hasOrientation) e.rotationDeg = std::fmod(p.orientationCentideg / 100.0, 360.0);

    if (action) {
      e.action = *action;
      events.push_back(e);
    }

    if (inContact || hovering) {
      tracks_[p.pointerId] = Track{inContact ? Phase::contact : Phase::hover, e.isPen, e.isEraser, at.x, at.y};
    } else if (hadTrack) {
      if (wasContact && found->second.isPen) {
        Track left = found->second;
        left.x = at.x;
        left.y = at.y;
        events.push_back(releaseOf(p.pointerId, left, Action::hoverExit));
      }
      tracks_.erase(found);
    }
  }

  for (auto it = tracks_.begin(); it != tracks_.end();) {
    if (seen.contains(it->first)) {
      ++it;
      continue;
    }
    appendRelease(events, it->first, it->second);
    it = tracks_.erase(it);
  }
  return events;
}

PenMapper::Live PenMapper::live() const {
  Live live;
  for (const auto& [id, track] : tracks_) {
    (track.isPen ? live.pen : live.finger) = true;
  }
  return live;
}

std::vector<PenMapper::Event> PenMapper::releaseAll() {
  std::vector<Event> events;
  for (const auto& [id, track] : tracks_) {
    events.push_back(releaseOf(id, track, track.phase == Phase::contact ? Action::up : Action::hoverExit));
  }
  tracks_.clear();
  return events;
}

void PenMapper::reset() { tracks_.clear(); }

}  // namespace lumenrail
