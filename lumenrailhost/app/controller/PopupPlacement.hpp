#pragma once

// Where the panel and the menus of its controls open, in top-down screen
// coordinates: under what opens them (above it when there is no room below),
// and always kept inside the screen's available area.

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

// The panel's top-left corner, centred on the tray icon. An empty anchor is
// a point (the pointer).
Point origin(const Rect& anchor, int width, int height, const Rect& available);

// A control's menu: its left edge on the control's, right under it.
Point menuOrigin(const Rect& anchor, int width, int height, const Rect& available);

}  // namespace lumenrail::PopupPlacement
