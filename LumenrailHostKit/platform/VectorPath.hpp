#pragma once

#include <optional>
#include <vector>

namespace lumenrail {

struct PathPoint {
  double x = 0;
  double y = 0;
  bool operator==(const PathPoint&) const = default;
};

struct PathRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const PathRect&) const = default;
};

// A resolution-independent outline that views fill or stroke: subpaths of
// lines and quadratic curves, and whole ellipses.
class VectorPath final {
 public:
  enum class Kind { move, line, quad, close, ellipse };

  struct Element {
    Kind kind = Kind::move;
    PathPoint point;    // end point (move, line, quad)
    PathPoint control;  // quad only
    PathRect rect;      // ellipse only: the ellipse is inscribed in it
    bool operator==(const Element&) const = default;
  };

  void moveTo(PathPoint p);
  // A line or curve with no open subpath first opens one where drawing would
  // continue: the start of the subpath just closed, else the origin.
  void lineTo(PathPoint p);
  void quadTo(PathPoint control, PathPoint p);
  void close();
  // A closed subpath of its own.
  void addEllipse(PathRect rect);
  void append(const VectorPath& other);

  const std::vector<Element>& elements() const { return elements_; }
  bool empty() const { return elements_.empty(); }
  // The point the next line would start from; nothing before the first element.
  std::optional<PathPoint> currentPoint() const { return current_; }

  bool operator==(const VectorPath& other) const { return elements_ == other.elements_; }

 private:
  void openSubpathIfNeeded();

  std::vector<Element> elements_;
  std::optional<PathPoint> current_;
  PathPoint subpathStart_;
  bool subpathOpen_ = false;
};

}  // namespace lumenrail
