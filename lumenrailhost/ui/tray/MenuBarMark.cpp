#include "ui/tray/MenuBarMark.hpp"

#include <QIconEngine>
#include <QPainter>
#include <QPen>
#include <QPolygonF>
#include <QTransform>

#include <algorithm>
#include <vector>

namespace lumenrail::MenuBarMark {

namespace {

QPainterPath rounded(double x, double y, double w, double h, double r) {
  QPainterPath p;
  p.addRoundedRect(QRectF(x, y, w, h), r, r);
  return p;
}

// The design's parts, in design units: the monitor, cut by a gap around the
// tablet standing in front of it.
QPainterPath monitorShape() {
  QPainterPath monitor = rounded(170, 285, 480, 350, 56);
  monitor.addPolygon(QPolygonF({{360, 635}, {440, 635}, {452, 711}, {348, 711}}));
  monitor.closeSubpath();
  monitor.addPath(rounded(285, 705, 230, 34, 17));
  return monitor;
}

// Everything but the gap (even-odd).
QPainterPath outsideTheGap() {
  QPainterPath clip;
  clip.setFillRule(Qt::OddEvenFill);
  clip.addRect(kDesignBox);
  clip.addRoundedRect(QRectF(430, 415, 470, 360), 88, 88);
  return clip;
}

QPainterPath tabletShape() { return rounded(470, 455, 390, 280, 48); }

class MarkEngine final : public QIconEngine {
 public:
  explicit MarkEngine(AppearanceKind kind) : kind_(kind) {}
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    // Fitted into the square the tray gives, centred.
    const double height = std::min<double>(rect.height(), rect.width() * 16.0 / 18.0);
    const double width = height * 18.0 / 16.0;
    const QRectF target(rect.x() + (rect.width() - width) / 2, rect.y() + (rect.height() - height) / 2, width, height);
    MenuBarMark::paint(*painter, target, ink(kind_, mode != QIcon::Disabled));
  }
  QIconEngine* clone() const override { return new MarkEngine(kind_); }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
      QPainter p(&canvas);
      paint(&p, QRect(QPoint(0, 0), size), mode, state);
    }
    return QPixmap::fromImage(canvas);
  }

 private:
  AppearanceKind kind_;
};

}  // namespace

void paint(QPainter& painter, const QRectF& target, const QColor& color) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(target.topLeft());
  painter.scale(target.width() / kDesignBox.width(), target.height() / kDesignBox.height());
  painter.translate(-kDesignBox.topLeft());
  painter.setPen(Qt::NoPen);
  painter.setBrush(color);

  QPainterPath monitor = monitorShape();
  monitor.setFillRule(Qt::WindingFill);
  painter.save();
  painter.setClipPath(outsideTheGap(), Qt::IntersectClip);
  painter.drawPath(monitor);
  painter.restore();
  painter.drawPath(tabletShape());
  painter.restore();
}

QImage image(double height, const QColor& color, double devicePixelRatio) {
  const double width = height * 18.0 / 16.0;
  QImage canvas(qRound(width * devicePixelRatio), qRound(height * devicePixelRatio),
                QImage::Format_ARGB32_Premultiplied);
  canvas.setDevicePixelRatio(devicePixelRatio);
  canvas.fill(Qt::transparent);
  QPainter p(&canvas);
  paint(p, QRectF(0, 0, width, height), color);
  return canvas;
}

namespace {

// At the sizes trays draw at 1x the design's stand is under two pixels and
// any scaled edge smears, so these sizes (and their doubles) are laid out on
// whole pixels: the fills of the screen, neck, base and tablet (x, y, width,
// height). The stand
// sits left of the tablet's outline so the gap never eats it, and its neck is
// three rows long so the outlines of screen and base do not run together.
struct PixelLayout {
  int side;
  QRect screen, neck, base, tablet;
};
const PixelLayout kPixelLayouts[] = {
    {16, QRect(1, 2, 10, 7), QRect(3, 9, 2, 3), QRect(2, 12, 4, 1), QRect(8, 8, 7, 5)},
    {22, QRect(1, 4, 14, 10), QRect(5, 14, 3, 3), QRect(3, 17, 7, 1), QRect(11, 11, 10, 7)},
    {24, QRect(1, 4, 15, 11), QRect(6, 15, 3, 3), QRect(4, 18, 7, 1), QRect(12, 11, 11, 8)},
};

const QColor kTrayOutline(0x15, 0x18, 0x20, 230);
QColor trayFill(bool serving) { return serving ? QColor(Qt::white) : QColor(0x9a, 0x9f, 0xa8); }

// A one-pixel outline around each part (its four neighbours, so corners come
// out round); the tablet's outline is the gap that cuts the monitor.
QImage pixelTrayImage(const PixelLayout& layout, bool serving) {
  const int side = layout.side;
  auto inside = [](const std::initializer_list<QRect>& parts, int x, int y) {
    return std::any_of(parts.begin(), parts.end(), [&](const QRect& r) { return r.contains(x, y); });
  };
  auto touches = [&](const std::initializer_list<QRect>& parts, int x, int y) {
    return inside(parts, x - 1, y) || inside(parts, x + 1, y) || inside(parts, x, y - 1) || inside(parts, x, y + 1);
  };
  const auto monitor = {layout.screen, layout.neck, layout.base};
  const auto tablet = {layout.tablet};
  const QRgb fill = trayFill(serving).rgba();
  const QRgb outline = qPremultiply(kTrayOutline.rgba());
  QImage canvas(side, side, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      if (inside(tablet, x, y)) {
        canvas.setPixel(x, y, fill);
      } else if (touches(tablet, x, y)) {
        canvas.setPixel(x, y, outline);
      } else if (inside(monitor, x, y)) {
        canvas.setPixel(x, y, fill);
      } else if (touches(monitor, x, y)) {
        canvas.setPixel(x, y, outline);
      }
    }
  }
  // A pinhole boxed in by outlines reads as noise on a light tray: closed.
  std::vector<QPoint> open;
  std::vector<bool> reached(static_cast<size_t>(side * side), false);
  auto reach = [&](int x, int y) {
    if (x < 0 || y < 0 || x >= side || y >= side || reached[y * side + x] || canvas.pixel(x, y) != 0) return;
    reached[y * side + x] = true;
    open.emplace_back(x, y);
  };
  for (int i = 0; i < side; ++i) {
    reach(i, 0), reach(i, side - 1), reach(0, i), reach(side - 1, i);
  }
  while (!open.empty()) {
    const QPoint at = open.back();
    open.pop_back();
    reach(at.x() - 1, at.y()), reach(at.x() + 1, at.y()), reach(at.x(), at.y() - 1), reach(at.x(), at.y() + 1);
  }
  for (int y = 0; y < side; ++y) {
    for (int x = 0; x < side; ++x) {
      if (!reached[y * side + x] && canvas.pixel(x, y) == 0) canvas.setPixel(x, y, outline);
    }
  }
  return canvas;
}

}  // namespace

QImage trayImage(int side, bool serving) {
  for (const auto& layout : kPixelLayouts) {
    if (layout.side == side) return pixelTrayImage(layout, serving);
    // At 2x the same pixels, doubled: the scaled design would smear the stand again.
    if (2 * layout.side == side) {
      return pixelTrayImage(layout, serving).scaled(side, side, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    }
  }
  QImage canvas(side, side, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  // Room for the outline on every side.
  const double pad = std::max(1.0, side / 16.0);
  const double width = side - 2 * pad;
  const double height = width * 16.0 / 18.0;
  const QRectF target(pad, (side - height) / 2, width, height);
  QPainterPath shape = monitorShape().simplified().intersected(outsideTheGap()).united(tabletShape());
  QTransform toTarget;
  toTarget.translate(target.x(), target.y());
  toTarget.scale(target.width() / kDesignBox.width(), target.height() / kDesignBox.height());
  toTarget.translate(-kDesignBox.x(), -kDesignBox.y());
  shape = toTarget.map(shape);

  QPainter p(&canvas);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(kTrayOutline, 1.4 * pad, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(shape);
  p.setPen(Qt::NoPen);
  p.setBrush(trayFill(serving));
  p.drawPath(shape);
  p.end();
  return canvas;
}

QColor ink(AppearanceKind kind, bool enabled) {
  QColor c = kind == AppearanceKind::dark ? QColor(Qt::white) : QColor(Qt::black);
  if (!enabled) c.setAlphaF(static_cast<float>(kDisabledOpacity));
  return c;
}

QIcon icon(AppearanceKind kind) { return QIcon(new MarkEngine(kind)); }

}  // namespace lumenrail::MenuBarMark
