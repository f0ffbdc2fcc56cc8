#include "ui/style/SpectrumMark.hpp"

#include <QLinearGradient>
#include <QPainter>
#include <QtMath>

#include "ui/style/HostStyle.hpp"
#include "ui/tray/MenuBarMark.hpp"

namespace lumenrail {

SpectrumMark::SpectrumMark(double height, QWidget* parent) : QWidget(parent), height_(height) {
  setFixedSize(sizeHint());
}

QSize SpectrumMark::sizeHint() const { return QSize(qCeil(height_ * 18.0 / 16.0), qCeil(height_)); }

void SpectrumMark::paintEvent(QPaintEvent*) {
  const double width = height_ * 18.0 / 16.0;
  const double dpr = devicePixelRatioF();
  // The gradient drawn through the glyph's own pixels, as a mask would.
  QImage canvas = MenuBarMark::image(height_, Qt::black, dpr);
  {
    QPainter p(&canvas);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    QLinearGradient gradient(QPointF(0, 0), QPointF(width, height_));
    const auto stops = BrandTheme::spectrum();
    for (size_t i = 0; i < stops.size(); ++i) gradient.setColorAt(static_cast<double>(i) / (stops.size() - 1), stops[i]);
    p.fillRect(QRectF(0, 0, width, height_), gradient);
  }
  QPainter painter(this);
  painter.drawImage(QPointF(0, 0), canvas);
}

}  // namespace lumenrail
