#include "HostSymbols.hpp"

#include <QPainterPath>

#include <functional>
#include <map>

#include "PanelSymbols.hpp"

namespace lumenrail::HostSymbols {

namespace {

// Each drawing works in a 24 x 24 box.
using Drawing = std::function<void(QPainter&, const QColor&)>;

QPen stroke(const QColor& color, double width = 2.0) {
  QPen pen(color, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  return pen;
}

QPainterPath triangle() {
  QPainterPath p;
  p.moveTo(12, 2.5);
  p.lineTo(22.5, 21);
  p.lineTo(1.5, 21);
  p.closeSubpath();
  return p;
}

void exclamation(QPainter& p, const QColor& color) {
  p.setPen(stroke(color, 2.2));
  p.drawLine(QPointF(12, 9), QPointF(12, 14.5));
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(QPointF(12, 18), 1.3, 1.3);
}

const std::map<QString, Drawing>& drawings() {
  static const std::map<QString, Drawing> table = {
      {"exclamationmark.triangle",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c));
         p.setBrush(Qt::NoBrush);
         p.drawPath(triangle());
         exclamation(p, c);
       }},
      {"exclamationmark.triangle.fill",
       [](QPainter& p, const QColor& c) {
         QPainterPath mark;
         mark.addRect(QRectF(10.9, 8.5, 2.2, 6.5));
         mark.addEllipse(QPointF(12, 18), 1.3, 1.3);
         p.setPen(stroke(c, 1.5));
         p.setBrush(c);
         p.drawPath(triangle().subtracted(mark));
       }},
      {"rectangle.on.rectangle",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawRoundedRect(QRectF(2, 7, 15, 11), 2, 2);
         p.drawPolyline(QPolygonF({{7, 4}, {22, 4}, {22, 15}}));
       }},
      {"rectangle.fill.on.rectangle.fill",
       [](QPainter& p, const QColor& c) {
         QPainterPath back, gap, front;
         back.addRoundedRect(QRectF(7, 3, 15, 11), 2, 2);
         gap.addRoundedRect(QRectF(0.5, 7, 18, 14), 3, 3);
         front.addRoundedRect(QRectF(2, 8.5, 15, 11), 2, 2);
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawPath(back.subtracted(gap));
         p.drawPath(front);
       }},
      {"checkmark",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 2.4));
         p.drawPolyline(QPolygonF({{4, 12.5}, {9.5, 18}, {20, 6}}));
       }},
      {"play.fill",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.5));
         p.setBrush(c);
         p.drawPolygon(QPolygonF({{7, 4}, {20, 12}, {7, 20}}));
       }},
      {"stop.fill",
       [](QPainter& p, const QColor& c) {
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawRoundedRect(QRectF(5, 5, 14, 14), 2.5, 2.5);
       }},
      {"arrow.down.circle",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
         p.drawLine(QPointF(12, 7), QPointF(12, 16.5));
         p.drawPolyline(QPolygonF({{8, 12.5}, {12, 16.5}, {16, 12.5}}));
       }},
      {"info.circle",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawEllipse(QPointF(12, 12), 9.5, 9.5);
         p.drawLine(QPointF(12, 11), QPointF(12, 17));
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawEllipse(QPointF(12, 7.5), 1.2, 1.2);
       }},
  };
  return table;
}

const Drawing* find(const QString& name) {
  if (const auto it = drawings().find(name); it != drawings().end()) return &it->second;
  if (const auto it = PanelSymbols::drawings().find(name); it != PanelSymbols::drawings().end()) return &it->second;
  return nullptr;
}

}  // namespace

bool has(const QString& name) { return find(name) != nullptr; }

bool paint(QPainter& painter, const QString& name, const QRectF& box, const QColor& color) {
  const Drawing* drawing = find(name);
  if (!drawing) return false;
  const double side = std::min(box.width(), box.height());
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.translate(box.center().x() - side / 2, box.center().y() - side / 2);
  painter.scale(side / 24.0, side / 24.0);
  (*drawing)(painter, color);
  painter.restore();
  return true;
}

}  // namespace lumenrail::HostSymbols
