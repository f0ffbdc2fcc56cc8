#include "input/FingerGestures.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace lumenrail {

namespace {

using Action = PenMapper::Action;

double distance(Point p, Point q) { return std::hypot(p.x - q.x, p.y - q.y); }
Point pointOf(const PenMapper::Event& e) { return {e.x, e.y}; }
Point centroid(Point p, Point q) { return {(p.x + q.x) / 2, (p.y + q.y) / 2}; }
double angleDeg(Point p, Point q) { return std::atan2(q.y - p.y, q.x - p.x) * 180.0 / std::numbers::pi; }

PenMapper::Event withAction(PenMapper::Event e, Action action) {
  e.action = action;
  return e;
}

bool elapsed(uint64_t since, uint64_t now, uint64_t span) { return now >= since && now - since >= span; }

}  // namespace

FingerGestures::Output FingerGestures::Output::mouse(const Event& e) {
  Output o;
  o.kind = Kind::mouse;
  o.event = e;
  return o;
}

FingerGestures::Output FingerGestures::Output::scroll(double dx, double dy, double x, double y, Phase phase) {
  Output o;
  o.kind = Kind::scroll;
  o.dx = dx;
  o.dy = dy;
  o.x = x;
  o.y = y;
  o.phase = phase;
  return o;
}

FingerGestures::Output FingerGestures::Output::magnify(double delta, double x, double y, Phase phase) {
  Output o;
  o.kind = Kind::magnify;
  o.delta = delta;
  o.x = x;
  o.y = y;
  o.phase = phase;
  return o;
}

FingerGestures::Output FingerGestures::Output::rotate(double degrees, double x, double y, Phase phase) {
  Output o;
  o.kind = Kind::rotate;
  o.degrees = degrees;
  o.x = x;
  o.y = y;
  o.phase = phase;
  return o;
}

std::vector<FingerGestures::Output> FingerGestures::ingest(const Event& event, uint64_t now) {
  if (event.action == Action::hoverMove || event.action == Action::hoverExit) return {};
  const uint8_t id = event.pointerId;
  if (event.action == Action::down) down.insert(id);
  if (event.action == Action::up) down.erase(id);

  std::vector<Output> out;
  if (std::holds_alternative<Idle>(state)) {
    if (event.action == Action::down) state = Pending{event, event, now};
  } else if (auto* pending = std::get_if<Pending>(&state)) {
    if (id != pending->down.pointerId) {
      // A second finger: the pending press is never posted.
      if (event.action == Action::down) startGesture(pending->last, event);
    } else if (event.action == Action::up) {
      const Event pressed = pending->down;
      state = Idle{};
      if (distance(pointOf(pressed), pointOf(event)) > slopPts) {
        // A quick swipe whose moves were held back by pacing, or arrived with
        // the lift: a drag from the press point, not a tap at the lift point.
        out.push_back(Output::mouse(pressed));
        out.push_back(Output::mouse(withAction(event, Action::drag)));
        out.push_back(Output::mouse(event));
      } else {
        Event tap = pressed;
        tap.x = event.x;
        tap.y = event.y;
        out.push_back(Output::mouse(tap));
        out.push_back(Output::mouse(event));
      }
    } else if (event.action == Action::drag) {
      if (distance(pointOf(pending->down), pointOf(event)) > slopPts ||
          elapsed(pending->sinceNs, now, holdNs)) {
        const Event pressed = pending->down;
        state = Mouse{id, event};
        out.push_back(Output::mouse(pressed));
        out.push_back(Output::mouse(event));
      } else {
        pending->last = event;
      }
    }
  } else if (auto* mouse = std::get_if<Mouse>(&state)) {
    if (id == mouse->id) {
      if (event.action == Action::drag) {
        mouse->last = event;
        out.push_back(Output::mouse(event));
      } else if (event.action == Action::up) {
        state = Idle{};
        out.push_back(Output::mouse(event));
      }
    } else if (event.action == Action::down) {
      const Event last = mouse->last;
      out.push_back(Output::mouse(withAction(last, Action::up)));
      startGesture(last, event);
    }
  } else if (auto* g = std::get_if<Gesture>(&state)) {
    if (id == g->a || id == g->b) {
      if (event.action == Action::up) {
        finish(*g, out);
        if (down.empty()) {
          state = Idle{};
        } else {
          state = Draining{};
        }
      } else {
        if (g->moved.contains(id)) step(*g, out);
        g->pos[id] = pointOf(event);
        g->moved.insert(id);
        if (g->moved.size() == 2) step(*g, out);
      }
    }
  } else if (std::holds_alternative<Draining>(state)) {
    if (down.empty()) state = Idle{};
  }
  return out;
}

std::vector<FingerGestures::Output> FingerGestures::tick(uint64_t now) {
  std::vector<Output> out;
  if (auto* pending = std::get_if<Pending>(&state)) {
    if (elapsed(pending->sinceNs, now, holdNs)) {
      const Pending held = *pending;
      state = Mouse{held.down.pointerId, held.last};
      out.push_back(Output::mouse(held.down));
      if (held.last != held.down) out.push_back(Output::mouse(held.last));
    }
  }
  return out;
}

std::vector<FingerGestures::Output> FingerGestures::reset() {
  std::vector<Output> out;
  if (const auto* g = std::get_if<Gesture>(&state)) {
    finish(*g, out);
  } else if (const auto* mouse = std::get_if<Mouse>(&state)) {
    out.push_back(Output::mouse(withAction(mouse->last, Action::up)));
  }
  state = Idle{};
  down.clear();
  return out;
}

std::optional<uint64_t> FingerGestures::deadline() const {
  if (const auto* pending = std::get_if<Pending>(&state)) return pending->sinceNs + holdNs;
  return std::nullopt;
}

void FingerGestures::startGesture(const Event& first, const Event& second) {
  Gesture g;
  g.a = first.pointerId;
  g.b = second.pointerId;
  const Point pa = pointOf(first);
  const Point pb = pointOf(second);
  g.pos[g.a] = pa;
  g.pos[g.b] = pb;
  g.startCentroid = g.lastCentroid = centroid(pa, pb);
  g.startSpread = g.lastSpread = distance(pa, pb);
  g.startAngle = g.lastAngle = angleDeg(pa, pb);
  state = std::move(g);
}

void FingerGestures::step(Gesture& g, std::vector<Output>& out) const {
  g.moved.clear();
  const Point pa = g.pos[g.a];
  const Point pb = g.pos[g.b];
  const Point c = centroid(pa, pb);
  const double s = distance(pa, pb);
  const double ang = angleDeg(pa, pb);

  // Crossing the ±180 line is a small turn, not a full one the other way.
  double d = ang - g.lastAngle;
  if (d > 180) d -= 360;
  if (d < -180) d += 360;
  g.lastAngle = ang;
  g.twist += d;

  const double travel = distance(c, g.startCentroid);

  if (g.panning) {
    // Pan never joins zoom or rotate.
    if (c != g.lastCentroid) {
      out.push_back(Output::scroll(c.x - g.lastCentroid.x, c.y - g.lastCentroid.y, c.x, c.y, Phase::changed));
      g.lastCentroid = c;
    }
    return;
  }

  // Rotation is reported as the negative change of the angle.
  auto reportTwist = [&] {
    if (g.twist != g.twistBase) {
      out.push_back(Output::rotate(g.twistBase - g.twist, c.x, c.y, Phase::changed));
      g.twistBase = g.twist;
    }
  };

  if (g.zooming) {
    g.lastCentroid = c;
    if (!g.rotating && std::fabs(g.twist - g.twistBase) > rotateJoinDeadband) {
      g.rotating = true;
      g.twistBase = g.twist;
      out.push_back(Output::rotate(0, c.x, c.y, Phase::began));
    }
    if (g.lastSpread > 0) {
      if (s != g.lastSpread) {
        out.push_back(Output::magnify(s / g.lastSpread - 1, c.x, c.y, Phase::changed));
        g.lastSpread = s;
      }
    } else {
      // Fingers that met have no ratio to report; measure from here on.
      g.lastSpread = s;
    }
    if (g.rotating) reportTwist();
    return;
  }

  if (g.rotating) {
    g.lastCentroid = c;
    // lastSpread is still the starting spread while only rotating.
    if (g.lastSpread > 0 && std::fabs(s / g.lastSpread - 1) > zoomJoinDeadband) {
      g.zooming = true;
      g.lastSpread = s;
      out.push_back(Output::magnify(0, c.x, c.y, Phase::began));
    }
    reportTwist();
    return;
  }

  // Undecided.
  const double zoomMeasure = std::fabs(s - g.startSpread) / 2;
  // The arc the fingers travelled on their starting circle.
  const double rotateMeasure = std::fabs(g.twist) * (g.startSpread / 2) * std::numbers::pi / 180.0;
  if (std::max({travel, zoomMeasure, rotateMeasure}) <= decidePts) return;
  if (travel > panDominance * std::max(zoomMeasure, rotateMeasure)) {
    g.panning = true;
    g.lastCentroid = c;
    out.push_back(Output::scroll(0, 0, c.x, c.y, Phase::began));
  } else if (zoomMeasure >= rotateMeasure) {
    g.zooming = true;
    g.lastSpread = s;
    g.twistBase = g.twist;
    out.push_back(Output::magnify(0, c.x, c.y, Phase::began));
  } else {
    g.rotating = true;
    g.twistBase = g.twist;
    out.push_back(Output::rotate(0, c.x, c.y, Phase::began));
  }
}

void FingerGestures::finish(const Gesture& g, std::vector<Output>& out) {
  const Point c = g.lastCentroid;
  if (g.panning) out.push_back(Output::scroll(0, 0, c.x, c.y, Phase::ended));
  if (g.zooming) out.push_back(Output::magnify(0, c.x, c.y, Phase::ended));
  if (g.rotating) out.push_back(Output::rotate(0, c.x, c.y, Phase::ended));
}

}  // namespace lumenrail
