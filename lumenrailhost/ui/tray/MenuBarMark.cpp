#include "ui/tray/MenuBarMark.hpp"

#include <QIconEngine>
#include <QPainter>
#include <QPen>
#include <QPolygonF>
#include <QTransform>

#include <algorithm>

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

QImage trayImage(int side, bool serving) {
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
  p.setPen(QPen(QColor(0x15, 0x18, 0x20, 230), 1.4 * pad, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(shape);
  p.setPen(Qt::NoPen);
  p.setBrush(serving ? QColor(Qt::white) : QColor(0x9a, 0x9f, 0xa8));
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
