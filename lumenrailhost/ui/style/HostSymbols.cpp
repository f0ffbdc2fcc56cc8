#include "ui/style/HostSymbols.hpp"

#include <QPainterPath>
#include <QTransform>

#include <QtMath>

#include <functional>
#include <utility>
#include <vector>

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

void fill(QPainter& p, const QColor& c, const QPainterPath& path) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(path);
}

// Shapes built from overlapping parts of one winding are united first: an
// odd-even path would punch holes where the parts overlap. Parts of opposite
// windings are joined with united().
QPainterPath solid(QPainterPath path) {
  path.setFillRule(Qt::WindingFill);
  return path.simplified();
}

QPainterPath gearOutline() {
  QPainterPath outline;
  constexpr int kTeeth = 8;
  for (int i = 0; i < kTeeth * 4; ++i) {
    const double angle = (i - 0.5) * M_PI / (kTeeth * 2);
    const double r = (i % 4 == 0 || i % 4 == 1) ? 10.5 : 8.2;
    const QPointF point(12 + r * std::cos(angle), 12 + r * std::sin(angle));
    if (i == 0) outline.moveTo(point); else outline.lineTo(point);
  }
  outline.closeSubpath();
  return outline;
}

void exclamation(QPainter& p, const QColor& color) {
  p.setPen(stroke(color, 2.2));
  p.drawLine(QPointF(12, 9), QPointF(12, 14.5));
  p.setPen(Qt::NoPen);
  p.setBrush(color);
  p.drawEllipse(QPointF(12, 18), 1.3, 1.3);
}

// A list, not a map: a map would silently keep one of two drawings of a name.
const std::vector<std::pair<QString, Drawing>>& drawings() {
  static const std::vector<std::pair<QString, Drawing>> table = {
      {"exclamationmark.triangle",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c));
         p.setBrush(Qt::NoBrush);
         p.drawPath(triangle());
         exclamation(p, c);
       }},
      {"exclamationmark.triangle.fill",
       [](QPainter& p, const QColor& c) {
         // The rounded corners come from the outline's stroke, united before
         // the mark is cut, so no pen fills the mark back in.
         QPainterPathStroker rounding;
         rounding.setWidth(1.5);
         rounding.setJoinStyle(Qt::RoundJoin);
         QPainterPath mark;
         mark.addRoundedRect(QRectF(10.9, 8.5, 2.2, 6.5), 1.1, 1.1);
         mark.addEllipse(QPointF(12, 18), 1.3, 1.3);
         fill(p, c, solid(triangle().united(rounding.createStroke(triangle()))).subtracted(mark));
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
         // Open at the top, where the stem stands.
         p.drawArc(QRectF(3.5, 4.5, 17, 17), 125 * 16, 290 * 16);
         p.drawLine(QPointF(12, 2.5), QPointF(12, 11.5));
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
         p.setPen(stroke(c, 1.6));
         p.setBrush(Qt::NoBrush);
         p.drawPath(gearOutline());
         p.drawEllipse(QPointF(12, 12), 3.4, 3.4);
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
         // A pencil's end: the painted body with its facets, the bare sharpened
         // wood and the lead, so it reads as a pencil, not a cone.
         p.setPen(stroke(c, 1.8));
         p.setBrush(Qt::NoBrush);
         p.drawPolygon(QPolygonF({{7, 13}, {12, 2.5}, {17, 13}}));
         QPainterPath body;
         body.addRoundedRect(QRectF(6.1, 13, 11.8, 9.5), 1.2, 1.2);
         QPainterPath facets;
         facets.addRect(QRectF(9.4, 14.8, 1.3, 6));
         facets.addRect(QRectF(13.3, 14.8, 1.3, 6));
         fill(p, c, body.subtracted(facets));
         fill(p, c, [] {
           QPainterPath lead;
           lead.addPolygon(QPolygonF({{12, 2.5}, {14.4, 7.6}, {9.6, 7.6}}));
           lead.closeSubpath();
           return lead;
         }());
       }},
      {"cable.connector",
       [](QPainter& p, const QColor& c) {
         QPainterPath plug;
         plug.addRoundedRect(QRectF(6.5, 7, 11, 9), 2, 2);
         plug.addRect(QRectF(8.8, 2.5, 1.9, 5));
         plug.addRect(QRectF(13.3, 2.5, 1.9, 5));
         plug.addRoundedRect(QRectF(9.5, 15, 5, 3.5), 1, 1);
         fill(p, c, solid(plug));
         p.setPen(stroke(c, 2));
         p.drawLine(QPointF(12, 18), QPointF(12, 22));
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
      // The tray panel and menu.
      {"arrow.down.circle.fill",
       [](QPainter& p, const QColor& c) {
         QPainterPath disc;
         disc.addEllipse(QPointF(12, 12), 10.5, 10.5);
         QPainterPath stem;
         stem.addRect(QRectF(10.9, 6, 2.2, 9));
         QPainterPath head;
         head.moveTo(7.2, 12.2);
         head.lineTo(12, 17.6);
         head.lineTo(16.8, 12.2);
         head.closeSubpath();
         fill(p, c, disc.subtracted(stem.united(head)));
       }},
      {"hand.raised.slash.fill",
       [](QPainter& p, const QColor& c) {
         // Three fingers and a thumb with room between them, on the 1.5-unit
         // grid that is one pixel at 16 px: four touching fingers ran together
         // into one blob there. The slash's gap is narrow so the hand survives it.
         QPainterPath hand;
         hand.addRoundedRect(QRectF(6, 10.5, 12, 12), 4.5, 4.5);
         for (const auto& [x, top] : {std::pair{6.0, 4.5}, {10.5, 1.5}, {15.0, 4.5}}) {
           hand.addRoundedRect(QRectF(x, top, 3, 13.5), 1.5, 1.5);
         }
         hand.addRoundedRect(QRectF(1.5, 10.5, 3, 9), 1.5, 1.5);
         hand.addRect(QRectF(3, 15, 4.5, 4.5));
         auto band = [](double half) {
           QPainterPath b;
           b.moveTo(1.5 - half, 1.5 + half);
           b.lineTo(1.5 + half, 1.5 - half);
           b.lineTo(22.5 + half, 22.5 - half);
           b.lineTo(22.5 - half, 22.5 + half);
           b.closeSubpath();
           return b;
         };
         fill(p, c, solid(hand).subtracted(band(1.7)).united(band(0.8)));
       }},
      {"ipad.and.iphone",
       [](QPainter& p, const QColor& c) {
         QPainterPathStroker outline;
         outline.setWidth(1.6);
         QPainterPath tablet;
         tablet.addRoundedRect(QRectF(2, 3, 14, 18), 2.2, 2.2);
         QPainterPath phoneRoom;
         phoneRoom.addRoundedRect(QRectF(12.8, 8.3, 10, 15), 2.6, 2.6);
         QPainterPath phone;
         phone.addRoundedRect(QRectF(14.5, 10, 7, 11.5), 1.8, 1.8);
         QPainterPath shape = outline.createStroke(tablet).subtracted(phoneRoom).united(outline.createStroke(phone));
         shape.addRect(QRectF(16.8, 18.7, 2.4, 1.3));
         fill(p, c, solid(shape));
       }},
      {"wifi",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 2.1));
         p.setBrush(Qt::NoBrush);
         for (double r : {5.5, 10.5, 15.5}) {
           p.drawArc(QRectF(12 - r, 19 - r, 2 * r, 2 * r), 50 * 16, 80 * 16);
         }
         QPainterPath dot;
         dot.addEllipse(QPointF(12, 19), 1.9, 1.9);
         fill(p, c, dot);
       }},
      {"ellipsis",
       [](QPainter& p, const QColor& c) {
         QPainterPath dots;
         for (double x : {5.0, 12.0, 19.0}) dots.addEllipse(QPointF(x, 12), 1.9, 1.9);
         fill(p, c, dots);
       }},
      {"qrcode",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.6));
         p.setBrush(Qt::NoBrush);
         for (const QPointF& at : {QPointF(3, 3), QPointF(14, 3), QPointF(3, 14)}) {
           p.drawRoundedRect(QRectF(at, QSizeF(7, 7)), 1.2, 1.2);
         }
         QPainterPath bits;
         for (const QPointF& at : {QPointF(5.5, 5.5), QPointF(16.5, 5.5), QPointF(5.5, 16.5)}) {
           bits.addRect(QRectF(at, QSizeF(2, 2)));
         }
         for (const QPointF& at : {QPointF(14, 14), QPointF(18.5, 14), QPointF(16.2, 16.5), QPointF(14, 19),
                                   QPointF(18.5, 19)}) {
           bits.addRect(QRectF(at, QSizeF(2.5, 2.5)));
         }
         fill(p, c, bits);
       }},
      {"wand.and.stars",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 2));
         p.drawLine(QPointF(3.5, 20.5), QPointF(15, 9));
         auto star = [&](QPointF at, double r) {
           QPainterPath s;
           s.moveTo(at.x(), at.y() - r);
           s.quadTo(at, QPointF(at.x() + r, at.y()));
           s.quadTo(at, QPointF(at.x(), at.y() + r));
           s.quadTo(at, QPointF(at.x() - r, at.y()));
           s.quadTo(at, QPointF(at.x(), at.y() - r));
           fill(p, c, s);
         };
         star(QPointF(17.5, 5.5), 3.8);
         star(QPointF(9, 4.5), 2.3);
         star(QPointF(19.5, 14), 2.3);
       }},
  };
  return table;
}

const Drawing* find(const QString& name) {
  for (const auto& [known, drawing] : drawings()) {
    if (known == name) return &drawing;
  }
  return nullptr;
}

}  // namespace

bool has(const QString& name) { return find(name) != nullptr; }

QStringList names() {
  QStringList all;
  for (const auto& entry : drawings()) all << entry.first;
  return all;
}

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
