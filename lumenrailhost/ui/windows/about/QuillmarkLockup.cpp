#include "ui/windows/about/QuillmarkLockup.hpp"

#include <QPainter>
#include <QPainterPathStroker>
#include <QtMath>

#include "settings/QuillmarkLockupPath.hpp"
#include "ui/style/HostStyle.hpp"

namespace lumenrail {

namespace {

QPainterPath toPainterPath(const VectorPath& path) {
  QPainterPath out;
  for (const auto& e : path.elements()) {
    switch (e.kind) {
      case VectorPath::Kind::move: out.moveTo(e.point.x, e.point.y); break;
      case VectorPath::Kind::line: out.lineTo(e.point.x, e.point.y); break;
      case VectorPath::Kind::quad: out.quadTo(e.control.x, e.control.y, e.point.x, e.point.y); break;
      case VectorPath::Kind::close: out.closeSubpath(); break;
      case VectorPath::Kind::ellipse: out.addEllipse(e.rect.x, e.rect.y, e.rect.width, e.rect.height); break;
    }
  }
  return out;
}

}  // namespace

const QPainterPath& QuillmarkLockup::path() {
  // Built on first use; C++ makes the initialisation thread-safe.
  static const QPainterPath shared = [] {
    const auto lockup = QuillmarkLockupPath::make();
    QPainterPathStroker stroker;
    stroker.setWidth(lockup.ringStrokeWidth);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    stroker.setMiterLimit(QuillmarkLockupPath::Lockup::ringMiterLimit);
    QPainterPath all = stroker.createStroke(toPainterPath(lockup.ring));
    all.addPath(toPainterPath(lockup.fill));
    all.setFillRule(Qt::WindingFill);
    return all;
  }();
  return shared;
}

QuillmarkLockup::QuillmarkLockup(double height, QWidget* parent) : QWidget(parent), height_(height) {
  setFixedSize(sizeHint());
  setAccessibleName("Quillmark");
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

QSize QuillmarkLockup::sizeHint() const {
  return QSize(qCeil(height_ * kDesignWidth / kDesignHeight), qCeil(height_));
}

void QuillmarkLockup::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  // The smaller factor wins, so the mark keeps its proportions in any frame.
  const double scale = std::min(height() / kDesignHeight, width() / kDesignWidth);
  p.translate((width() - kDesignWidth * scale) / 2, (height() - kDesignHeight * scale) / 2);
  p.scale(scale, scale);
  p.fillPath(path(), HostStyle::text());
}

}  // namespace lumenrail
