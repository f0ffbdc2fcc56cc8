#pragma once

#include <optional>
#include <string_view>

#include "platform/VectorPath.hpp"

namespace lumenrail::QuillmarkLockupPath {

struct Lockup {
  // Dots and word mark, to be filled.
  VectorPath fill;
  // The ring's centre line, an open polyline: a view strokes it with
  // `ringStrokeWidth`, round caps, round joins and a miter limit of 10, and
  // fills the outline with `fill`.
  VectorPath ring;
  double ringStrokeWidth = 0;
  static constexpr double ringMiterLimit = 10.0;

  bool operator==(const Lockup&) const = default;
};

// The maker's mark and word mark in view-box coordinates. Never fails: word
// mark data that does not parse is left out.
Lockup make();

// Path data of the form "M0 0L10 0Q15 5 10 10Z" (absolute M, H, V, L, Q, Z;
// numbers separated by spaces, commas, a sign or a second "."); nothing when
// the data is malformed.
std::optional<VectorPath> parse(std::string_view data);

}  // namespace lumenrail::QuillmarkLockupPath
