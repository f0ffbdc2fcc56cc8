#include "platform/VectorPath.hpp"

namespace lumenrail {

void VectorPath::moveTo(PathPoint p) {
  elements_.push_back({Kind::move, p, {}, {}});
  current_ = p;
  subpathStart_ = p;
  subpathOpen_ = true;
}

void VectorPath::openSubpathIfNeeded() {
  if (subpathOpen_) return;
  moveTo(current_.value_or(PathPoint{}));
}

void VectorPath::lineTo(PathPoint p) {
  openSubpathIfNeeded();
  elements_.push_back({Kind::line, p, {}, {}});
  current_ = p;
}

void VectorPath::quadTo(PathPoint control, PathPoint p) {
  openSubpathIfNeeded();
  elements_.push_back({Kind::quad, p, control, {}});
  current_ = p;
}

void VectorPath::close() {
  if (!subpathOpen_) return;
  elements_.push_back({Kind::close, {}, {}, {}});
  subpathOpen_ = false;
  current_ = subpathStart_;
}

void VectorPath::addEllipse(PathRect rect) {
  elements_.push_back({Kind::ellipse, {}, {}, rect});
  subpathOpen_ = false;
  // Drawing on would start where an ellipse path starts: its right-hand point.
  current_ = PathPoint{rect.x + rect.width, rect.y + rect.height / 2};
  subpathStart_ = *current_;
}

void VectorPath::append(const VectorPath& other) {
  elements_.insert(elements_.end(), other.elements_.begin(), other.elements_.end());
  if (!other.elements_.empty()) {
    current_ = other.current_;
    subpathStart_ = other.subpathStart_;
    subpathOpen_ = other.subpathOpen_;
  }
}

}  // namespace lumenrail
