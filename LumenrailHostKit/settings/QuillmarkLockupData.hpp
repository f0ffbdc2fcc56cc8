#pragma once

#include <array>
#include <string_view>

#include "platform/VectorPath.hpp"

namespace lumenrail::QuillmarkLockupData {

struct Dot {
  double x;
  double y;
  double radius;
};

// The whole lockup's coordinate space; views scale the path from it.
inline constexpr double viewBoxWidth = 1956.69;
inline constexpr double viewBoxHeight = 205.3;

// The mark is drawn in its own 100 x 100 space, then scaled and moved.
inline constexpr PathPoint markTranslate{2.65, 2.65};
inline constexpr double markScale = 2.0;

// The ring: an open arc, stroked.
inline constexpr double ringWidth = 11.0;
inline constexpr PathPoint ringCentre{50.0, 50.0};
inline constexpr double ringRadius = 42.0;
inline constexpr int ringPointCount = 146;
// Radians, y pointing down; the arc leaves a gap at the top, where two dots sit.
inline constexpr double ringStartAngle = -0.9;
inline constexpr double ringAngleStep = 0.0365;

inline constexpr std::array<Dot, 3> dots = {{
    {50.0, 8.0, 4.5},
    {62.98, 10.06, 3.5},
    {50.0, 50.0, 13.0},
}};

// The maker's name as path data in view-box coordinates (M, H, V, L, Q, Z).
inline constexpr std::string_view wordmark =
    ""
    "M560 102.65Q560 133.72 536.57 155.68Q513.14 177.65 480 177.65Q446.86 177.65 423.43 155.68Q400 133.72 400 102.65Q400 71.58 423.43 49.62Q446.86 27.65 480 27.65Q513.14 27.65 536.57 49.62Q560 71.58 560 102.65Z"
    "M534 102.65Q534 82.35 518.18 68Q502.37 53.65 480 53.65Q457.63 53.65 441.82 68Q426 82.35 426 102.65Q426 122.95 441.82 137.3Q457.63 151.65 480 151.65Q502.37 151.65 518.18 137.3Q534 122.95 534 102.65Z"
    "M490 137.65L516 137.65 572 187.65 538 187.65Z"
    "M606 27.65H632V122.65Q632 151.65 676 151.65Q720 151.65 720 122.65V27.65H746V122.65Q746 177.65 676 177.65Q606 177.65 606 122.65Z"
    "M792 27.65H818V177.65H792ZM864 27.65H890V151.65H974V177.65H864Z"
    "M1020 27.65H1046V151.65H1130V177.65H1020Z"
    "M1176 177.65V27.65H1206L1261 105.65L1316 27.65H1346V177.65H1320V79.65L1261 149.65L1202 79.65V177.65Z"
    "M1392 177.65L1456 27.65H1488L1552 177.65H1524L1472 61.65L1420 177.65Z"
    "M1436 115.65H1508V139.65H1436Z"
    "M1598 177.65V27.65H1690Q1738 27.65 1738 70.65Q1738 113.65 1698 113.65L1742 177.65H1712L1662 113.65H1624V177.65Z"
    "M1624 53.65V87.65H1688Q1712 87.65 1712 70.65Q1712 53.65 1688 53.65Z"
    "M1784 27.65H1810V89.65L1890 27.65H1924L1844 99.65L1926 177.65H1892L1824 119.65L1810 131.65V177.65H1784Z";

}  // namespace lumenrail::QuillmarkLockupData
