#include "settings/QuillmarkLockupPath.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "settings/QuillmarkLockupData.hpp"

namespace lumenrail {
namespace {

using Kind = VectorPath::Kind;
using E = VectorPath::Element;

E move(double x, double y) { return {Kind::move, {x, y}, {}, {}}; }
E line(double x, double y) { return {Kind::line, {x, y}, {}, {}}; }
E quad(double cx, double cy, double x, double y) { return {Kind::quad, {x, y}, {cx, cy}, {}}; }
E close() { return {Kind::close, {}, {}, {}}; }

std::vector<E> parsed(const char* data) {
  auto path = QuillmarkLockupPath::parse(data);
  EXPECT_TRUE(path.has_value()) << data;
  return path ? path->elements() : std::vector<E>{};
}

TEST(QuillmarkLockupPath, ParsesTheCommandsIntoPathElements) {
  const std::vector<E> triangle = {move(0, 0), line(10, 0), line(10, 10), close()};
  EXPECT_EQ(parsed("M0 0L10 0L10 10Z"), triangle);
  EXPECT_EQ(parsed("M0,0 10,0 10,10Z"), triangle);
  EXPECT_EQ(parsed("M0 0 L10,0 10 10 Z"), triangle);
  EXPECT_EQ(parsed("M0-5"), (std::vector<E>{move(0, -5)}));
  EXPECT_EQ(parsed("M.5.5"), (std::vector<E>{move(0.5, 0.5)}));
  EXPECT_EQ(parsed("M-1.5-2.25"), (std::vector<E>{move(-1.5, -2.25)}));
  EXPECT_EQ(parsed("M1 2H5 7V9"), (std::vector<E>{move(1, 2), line(5, 2), line(7, 2), line(7, 9)}));
  EXPECT_EQ(parsed("M0 0Q5 5 10 0 15-5 20 0"), (std::vector<E>{move(0, 0), quad(5, 5, 10, 0), quad(15, -5, 20, 0)}));
  EXPECT_EQ(parsed(""), std::vector<E>{});
  EXPECT_EQ(parsed("  "), std::vector<E>{});
  EXPECT_EQ(parsed("M1 1M2 2"), (std::vector<E>{move(1, 1), move(2, 2)}));
}

TEST(QuillmarkLockupPath, AfterCloseHAndVGoOnFromTheLastDrawnPoint) {
  // The line starts at the closed subpath's start; its end keeps the last
  // drawn point's y.
  EXPECT_EQ(parsed("M0 0L10 0L10 10ZH20"),
            (std::vector<E>{move(0, 0), line(10, 0), line(10, 10), close(), move(0, 0), line(20, 10)}));
  EXPECT_EQ(parsed("M0 0L10 0L10 10ZV30"),
            (std::vector<E>{move(0, 0), line(10, 0), line(10, 10), close(), move(0, 0), line(10, 30)}));
}

TEST(QuillmarkLockupPath, RejectsAnythingOutsideTheSyntax) {
  for (const char* bad : {"m0 0", "M0 0l1 1", "M1 2 3", "M", "L", "L1", "H", "V", "M0 0Q1 2 3", "M0 0Q1 2 3 4 5",
                          "M0 0Z1", "1 2M0 0", "M1e3 0", "M0\t0", "M0\n0", "M0 0C1 1 2 2 3 3", "M0 0A1 1 0 0 0 1 1",
                          "M--1 0", "M0 -", "M. 0", "M0;0", "M0 0#", "M\xC2\xA0" "0 0"}) {
    EXPECT_EQ(QuillmarkLockupPath::parse(bad), std::nullopt) << bad;
  }
}

TEST(QuillmarkLockupPath, LockupHasRingDotsAndWordMarkInsideTheViewBox) {
  using namespace QuillmarkLockupData;
  ASSERT_TRUE(QuillmarkLockupPath::parse(wordmark).has_value());
  const auto lockup = QuillmarkLockupPath::make();

  const auto& ring = lockup.ring.elements();
  ASSERT_EQ(ring.size(), 146u);
  EXPECT_EQ(ring.front().kind, Kind::move);
  for (size_t i = 1; i < ring.size(); ++i) EXPECT_EQ(ring[i].kind, Kind::line);
  const double cx = ringCentre.x * markScale + markTranslate.x;
  const double cy = ringCentre.y * markScale + markTranslate.y;
  for (const E& e : ring) {
    EXPECT_NEAR(std::hypot(e.point.x - cx, e.point.y - cy), ringRadius * markScale, 1e-9);
  }
  EXPECT_EQ(lockup.ringStrokeWidth, ringWidth * markScale);

  const auto& fill = lockup.fill.elements();
  ASSERT_GT(fill.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    ASSERT_EQ(fill[i].kind, Kind::ellipse);
    const PathRect expected{(dots[i].x - dots[i].radius) * markScale + markTranslate.x,
                            (dots[i].y - dots[i].radius) * markScale + markTranslate.y,
                            2 * dots[i].radius * markScale, 2 * dots[i].radius * markScale};
    EXPECT_EQ(fill[i].rect, expected);
  }
  const auto word = QuillmarkLockupPath::parse(wordmark)->elements();
  EXPECT_EQ(std::vector<E>(fill.begin() + 3, fill.end()), word);

  // Everything, the ring's stroke included, lies in the view box.
  const double half = lockup.ringStrokeWidth / 2;
  auto inside = [](double x, double y, double margin) {
    return x - margin >= 0 && y - margin >= 0 && x + margin <= viewBoxWidth && y + margin <= viewBoxHeight;
  };
  for (const E& e : ring) EXPECT_TRUE(inside(e.point.x, e.point.y, half));
  for (const E& e : fill) {
    if (e.kind == Kind::ellipse) {
      EXPECT_TRUE(inside(e.rect.x, e.rect.y, 0) && inside(e.rect.x + e.rect.width, e.rect.y + e.rect.height, 0));
    } else if (e.kind != Kind::close) {
      EXPECT_TRUE(inside(e.point.x, e.point.y, 0)) << e.point.x << "," << e.point.y;
      if (e.kind == Kind::quad) {
        EXPECT_TRUE(inside(e.control.x, e.control.y, 0));
      }
    }
  }
}

}  // namespace
}  // namespace lumenrail
