#pragma once

// Where the panel opens, in top-down screen coordinates: centred under the
// tray icon (above it when the tray sits at the bottom and there is no room
// below), or at the pointer where the tray gives no geometry, and always
// kept inside the screen's available area.

namespace lumenrail::PopupPlacement {

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool operator==(const Rect&) const = default;
};

struct Point {
  int x = 0;
  int y = 0;
  bool operator==(const Point&) const = default;
};

// Between the icon and the panel.
inline constexpr int kGap = 4;

// The panel's top-left corner. An empty anchor is a point (the pointer).
Point origin(const Rect& anchor, int width, int height, const Rect& available);

}  // namespace lumenrail::PopupPlacement
