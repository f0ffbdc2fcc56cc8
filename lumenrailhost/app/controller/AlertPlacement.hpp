#pragma once

// Where a modal alert goes on the primary screen, in top-down coordinates:
// centred across the available area, its centre one third of the way down.
// No clamping: an alert taller than that leaves the top edge.

namespace lumenrail::AlertPlacement {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

// The alert's top-left corner for an alert of `width` x `height`.
Point origin(const Rect& available, int width, int height);

// Responses: the first button is 1000, the next 1001 and so on.
inline constexpr int kFirstButton = 1000;

}  // namespace lumenrail::AlertPlacement
