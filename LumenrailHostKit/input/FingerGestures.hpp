#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <variant>
#include <vector>

#include "input/Geometry.hpp"
#include "input/PenMapper.hpp"

namespace lumenrail {

// Turns one client's finger events (mapped and paced) into mouse and gesture
// outputs. One finger is the left mouse button: a quick tap clicks at the
// lift point, a finger held still or moved past the slop presses and drags.
// Two fingers are a gesture decided once as pan, zoom or rotate; zoom and
// rotate may later join each other. A third finger is ignored. Used on one
// injector's queue only; no lock.
class FingerGestures final {
 public:
  using Event = PenMapper::Event;

  enum class Phase : uint8_t { began = 0, changed = 1, ended = 2 };

  struct Gesture {
    uint8_t a = 0;
    uint8_t b = 0;
    std::map<uint8_t, Point> pos;  // latest point of each finger
    Point startCentroid;
    Point lastCentroid;
    double startSpread = 0;
    double lastSpread = 0;
    double startAngle = 0;  // degrees
    double lastAngle = 0;
    double twist = 0;      // signed rotation since the start, degrees
    double twistBase = 0;  // twist already reported
    bool panning = false;
    bool zooming = false;
    bool rotating = false;
    std::set<uint8_t> moved;  // fingers with a new point since the last update
    bool operator==(const Gesture&) const = default;
  };

  // The states: one finger down but not yet a press; one finger holding the
  // left button; two fingers in a gesture; no finger; a gesture that ended
  // while fingers are still down (everything waits for all of them to lift).
  struct Pending {
    Event down;
    Event last;
    uint64_t sinceNs = 0;
    bool operator==(const Pending&) const = default;
  };
  struct Mouse {
    uint8_t id = 0;
    Event last;
    bool operator==(const Mouse&) const = default;
  };
  struct Idle {
    bool operator==(const Idle&) const = default;
  };
  struct Draining {
    bool operator==(const Draining&) const = default;
  };
  using State = std::variant<Pending, Mouse, Gesture, Idle, Draining>;

  struct Output {
    enum class Kind : uint8_t { mouse, scroll, magnify, rotate };
    Kind kind = Kind::mouse;
    Event event;  // mouse: its action gives press, drag or release
    double dx = 0;  // scroll: the centroid's movement in points
    double dy = 0;
    double delta = 0;    // magnify: relative zoom step
    double degrees = 0;  // rotate: rotation step
    double x = 0;        // scroll, magnify, rotate: where
    double y = 0;
    Phase phase = Phase::began;

    static Output mouse(const Event& e);
    static Output scroll(double dx, double dy, double x, double y, Phase phase);
    static Output magnify(double delta, double x, double y, Phase phase);
    static Output rotate(double degrees, double x, double y, Phase phase);
    bool operator==(const Output&) const = default;
  };

  double slopPts = 8.0;
  uint64_t holdNs = 90'000'000;
  double decidePts = 14.0;
  double panDominance = 1.5;
  double rotateJoinDeadband = 25.0;  // degrees of twist before rotation joins a zoom
  double zoomJoinDeadband = 0.2;     // relative spread change before zoom joins a rotation
  State state = Idle{};
  std::set<uint8_t> down;  // fingers currently down

  std::vector<Output> ingest(const Event& event, uint64_t now);
  // The hold timeout of a pending finger.
  std::vector<Output> tick(uint64_t now);
  // Closing outputs, then idle with no fingers.
  std::vector<Output> reset();
  // When a pending finger becomes a press by holding still.
  std::optional<uint64_t> deadline() const;

 private:
  void startGesture(const Event& first, const Event& second);
  void step(Gesture& g, std::vector<Output>& out) const;
  static void finish(const Gesture& g, std::vector<Output>& out);
};

}  // namespace lumenrail
