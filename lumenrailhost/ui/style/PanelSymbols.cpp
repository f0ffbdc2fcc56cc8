#include "ui/style/PanelSymbols.hpp"

#include <QPainterPath>
#include <QtMath>

namespace lumenrail::PanelSymbols {

namespace {

QPen stroke(const QColor& color, double width = 1.8) {
  QPen pen(color, width);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  return pen;
}

void fill(QPainter& p, const QColor& c, const QPainterPath& path) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(path);
}

QPainterPath gear() {
  QPainterPath outline;
  constexpr int kTeeth = 8;
  for (int i = 0; i < kTeeth * 4; ++i) {
    const double angle = (i - 0.5) * M_PI / (kTeeth * 2);
    const double r = (i % 4 == 0 || i % 4 == 1) ? 10.5 : 8.2;
    const QPointF point(12 + r * std::cos(angle), 12 + r * std::sin(angle));
    if (i == 0) outline.moveTo(point); else outline.lineTo(point);
  }
  outline.closeSubpath();
  QPainterPath hole;
  hole.addEllipse(QPointF(12, 12), 3.6, 3.6);
  return outline.subtracted(hole);
}

}  // namespace

const std::map<QString, Drawing>& drawings() {
  static const std::map<QString, Drawing> table = {
      {"arrow.down.circle.fill",
       [](QPainter& p, const QColor& c) {
         QPainterPath disc;
         disc.addEllipse(QPointF(12, 12), 10.5, 10.5);
         QPainterPath arrow;
         arrow.addRect(QRectF(10.9, 6, 2.2, 9));
         arrow.moveTo(7.2, 12.2);
         arrow.lineTo(12, 17.6);
         arrow.lineTo(16.8, 12.2);
         arrow.closeSubpath();
         fill(p, c, disc.subtracted(arrow));
       }},
      {"hand.raised.slash.fill",
       [](QPainter& p, const QColor& c) {
         QPainterPath hand;
         hand.addRoundedRect(QRectF(6, 10, 12, 12), 5, 5);
         for (double x : {6.0, 9.0, 12.0, 15.0}) hand.addRoundedRect(QRectF(x, x == 6.0 ? 6 : 3.5, 3, 11), 1.5, 1.5);
         hand.addRoundedRect(QRectF(16.5, 11, 3, 8), 1.5, 1.5);
         QPainterPath cut;
         cut.moveTo(2.2, 3.8);
         cut.lineTo(3.8, 2.2);
         cut.lineTo(21.8, 20.2);
         cut.lineTo(20.2, 21.8);
         cut.closeSubpath();
         QPainterPath gap;
         gap.moveTo(1.2, 5.6);
         gap.lineTo(5.6, 1.2);
         gap.lineTo(22.8, 18.4);
         gap.lineTo(18.4, 22.8);
         gap.closeSubpath();
         fill(p, c, hand.simplified().subtracted(gap).united(cut));
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
         fill(p, c, shape);
       }},
      {"wifi",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 2.1));
         p.setBrush(Qt::NoBrush);
         for (double r : {5.5, 10.5, 15.5}) {
           p.drawArc(QRectF(12 - r, 19 - r, 2 * r, 2 * r), 50 * 16, 80 * 16);
         }
         fill(p, c, [] {
           QPainterPath dot;
           dot.addEllipse(QPointF(12, 19), 1.9, 1.9);
           return dot;
         }());
       }},
      {"cable.connector",
       [](QPainter& p, const QColor& c) {
         QPainterPath plug;
         plug.addRoundedRect(QRectF(6.5, 7, 11, 9), 2, 2);
         plug.addRect(QRectF(8.8, 2.5, 1.9, 5));
         plug.addRect(QRectF(13.3, 2.5, 1.9, 5));
         plug.addRoundedRect(QRectF(9.5, 15, 5, 3.5), 1, 1);
         fill(p, c, plug.simplified());
         p.setPen(stroke(c, 2));
         p.drawLine(QPointF(12, 18), QPointF(12, 22));
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
      {"gearshape",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 1.5));
         p.setBrush(Qt::NoBrush);
         p.drawPath(gear());
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
      {"power",
       [](QPainter& p, const QColor& c) {
         p.setPen(stroke(c, 2));
         p.setBrush(Qt::NoBrush);
         p.drawArc(QRectF(3.5, 4.5, 17, 17), 125 * 16, 290 * 16);
         p.drawLine(QPointF(12, 2.5), QPointF(12, 11.5));
       }},
  };
  return table;
}

}  // namespace lumenrail::PanelSymbols
