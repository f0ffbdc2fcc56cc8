#include "ui/style/HostSymbols.hpp"

#include <QPainterPath>

#include <functional>
#include <map>

#include "ui/style/PanelSymbols.hpp"

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
      // The settings window's sidebar and actions.
      {"power",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 2));
         p.setBrush(Qt::NoBrush);
         p.drawArc(QRectF(3.5, 4, 17, 17), 125 * 16, -250 * 16);
         p.drawLine(QPointF(12, 2.5), QPointF(12, 11));
       }},
      {"display",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawRoundedRect(QRectF(2, 3.5, 20, 13.5), 2, 2);
         p.drawLine(QPointF(12, 17), QPointF(12, 20.5));
         p.drawLine(QPointF(7.5, 20.5), QPointF(16.5, 20.5));
       }},
      {"applepencil",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawPolygon(QPolygonF({{5, 19}, {6, 14.5}, {16.5, 4}, {20, 7.5}, {9.5, 18}}));
         p.drawLine(QPointF(14.5, 6), QPointF(18, 9.5));
       }},
      {"link",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.9));
         p.setBrush(Qt::NoBrush);
         p.translate(12, 12);
         p.rotate(-45);
         p.drawRoundedRect(QRectF(-10, -3.5, 11, 7), 3.5, 3.5);
         p.drawRoundedRect(QRectF(-1, -3.5, 11, 7), 3.5, 3.5);
       }},
      {"lock",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawRoundedRect(QRectF(5, 10.5, 14, 10.5), 2, 2);
         p.drawArc(QRectF(8, 3, 8, 10), 0, 180 * 16);
         p.drawLine(QPointF(8, 8), QPointF(8, 10.5));
         p.drawLine(QPointF(16, 8), QPointF(16, 10.5));
       }},
      {"gearshape",
       [](QPainter& p, const QColor& c) {
         QPainterPath gear;
         for (int i = 0; i < 8; ++i) {
           QPainterPath tooth;
           tooth.addRoundedRect(QRectF(-2.2, -10.5, 4.4, 6), 1, 1);
           gear.addPath(QTransform().translate(12, 12).rotate(i * 45).map(tooth));
         }
         gear.addEllipse(QPointF(12, 12), 7.2, 7.2);
         QPainterPath hole;
         hole.addEllipse(QPointF(12, 12), 3, 3);
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawPath(gear.simplified().subtracted(hole));
       }},
      {"doc.text",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawPolygon(QPolygonF({{5, 2.5}, {14, 2.5}, {19, 7.5}, {19, 21.5}, {5, 21.5}}));
         p.drawLine(QPointF(8.5, 11), QPointF(15.5, 11));
         p.drawLine(QPointF(8.5, 14.5), QPointF(15.5, 14.5));
         p.drawLine(QPointF(8.5, 18), QPointF(13, 18));
       }},
      {"doc.on.doc",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawRoundedRect(QRectF(8, 6.5, 12, 15), 2, 2);
         p.drawPolyline(QPolygonF({{4, 17.5}, {4, 2.5}, {15, 2.5}}));
       }},
      // The setup assistant's pages.
      {"pencil.tip",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawPolygon(QPolygonF({{12, 2.5}, {18.5, 16}, {5.5, 16}}));
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawPolygon(QPolygonF({{12, 2.5}, {14.6, 8}, {9.4, 8}}));
         p.drawRoundedRect(QRectF(5.5, 17.5, 13, 4), 1.2, 1.2);
       }},
      {"cable.connector",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawRoundedRect(QRectF(6.5, 2.5, 11, 11), 2, 2);
         p.drawLine(QPointF(10, 5.5), QPointF(10, 8));
         p.drawLine(QPointF(14, 5.5), QPointF(14, 8));
         p.drawLine(QPointF(12, 13.5), QPointF(12, 21.5));
       }},
      {"rectangle.dashed.badge.record",
       [](QPainter& p, const QColor& c) {
         QPen dashed = stroke(c, 1.8);
         dashed.setCapStyle(Qt::FlatCap);
         dashed.setDashPattern({2.2, 1.8});
         p.setPen(dashed);
         p.setBrush(Qt::NoBrush);
         p.drawRoundedRect(QRectF(2, 3.5, 17, 13), 2, 2);
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawEllipse(QPointF(18, 17.5), 4.5, 4.5);
       }},
      {"hand.point.up.left",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         QPainterPath hand;
         hand.moveTo(9, 12);
         hand.lineTo(9, 4);
         hand.arcTo(QRectF(9, 2.5, 3, 3), 180, -180);
         hand.lineTo(12, 11);
         hand.lineTo(18, 12);
         hand.quadTo(20, 12.5, 19.5, 15);
         hand.lineTo(18.5, 19);
         hand.quadTo(18, 21.5, 15, 21.5);
         hand.lineTo(11, 21.5);
         hand.quadTo(9, 21.5, 8, 19.5);
         hand.lineTo(5, 14.5);
         hand.quadTo(4.5, 12.5, 6.5, 12.5);
         hand.lineTo(9, 15);
         p.drawPath(hand);
       }},
      {"checkmark.circle.fill",
       [](QPainter& p, const QColor& c) {
         QPainterPath disc, mark;
         disc.addEllipse(QPointF(12, 12), 10, 10);
         QPainterPathStroker pen;
         pen.setWidth(2.4);
         pen.setCapStyle(Qt::RoundCap);
         pen.setJoinStyle(Qt::RoundJoin);
         QPainterPath tick;
         tick.moveTo(7, 12.5);
         tick.lineTo(10.5, 16);
         tick.lineTo(17, 8.5);
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawPath(disc.subtracted(pen.createStroke(tick)));
       }},
      {"arrow.triangle.2.circlepath",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.9));
         p.setBrush(Qt::NoBrush);
         p.drawArc(QRectF(4, 4, 16, 16), 30 * 16, 140 * 16);
         p.drawArc(QRectF(4, 4, 16, 16), 210 * 16, 140 * 16);
         p.setPen(Qt::NoPen);
         p.setBrush(c);
         p.drawPolygon(QPolygonF({{20.5, 5}, {21, 11}, {15.5, 9.5}}));
         p.drawPolygon(QPolygonF({{3.5, 19}, {3, 13}, {8.5, 14.5}}));
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
