#include "ui/style/AppIcon.hpp"

#include <QIconEngine>
#include <QLinearGradient>
#include <QPainter>

#include "ui/tray/MenuBarMark.hpp"

namespace lumenrail::AppIcon {

namespace {

// The SVG's 1024-unit canvas: the glyph keeps its design coordinates in it.
constexpr double kCanvas = 1024;
const QRectF kPlate(32, 32, 960, 960);

void paint(QPainter& p, const QRectF& target) {
  p.save();
  p.setRenderHint(QPainter::Antialiasing);
  p.translate(target.topLeft());
  p.scale(target.width() / kCanvas, target.height() / kCanvas);
  p.setPen(Qt::NoPen);
  QLinearGradient plate(kPlate.topLeft(), kPlate.bottomRight());
  for (const auto& [at, word] : kPlateStops) {
    plate.setColorAt(at, QColor((word >> 16) & 0xFF, (word >> 8) & 0xFF, word & 0xFF));
  }
  p.setBrush(plate);
  p.drawRoundedRect(kPlate, 200, 200);
  MenuBarMark::paint(p, MenuBarMark::kDesignBox, Qt::white);
  p.restore();
}

class Engine final : public QIconEngine {
 public:
  void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override {
    const double side = std::min(rect.width(), rect.height());
    AppIcon::paint(*painter, QRectF(rect.x() + (rect.width() - side) / 2, rect.y() + (rect.height() - side) / 2,
                                    side, side));
  }
  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QImage canvas(size, QImage::Format_ARGB32_Premultiplied);
    canvas.fill(Qt::transparent);
    {
      QPainter p(&canvas);
      paint(&p, QRect(QPoint(0, 0), size), mode, state);
    }
    return QPixmap::fromImage(canvas);
  }
  // Drawn at the device's pixels, never scaled up from the logical size.
  QPixmap scaledPixmap(const QSize& size, QIcon::Mode mode, QIcon::State state, qreal scale) override {
    QPixmap drawn = pixmap(size * scale, mode, state);
    drawn.setDevicePixelRatio(scale);
    return drawn;
  }
  QIconEngine* clone() const override { return new Engine; }
  // Window managers read _NET_WM_ICON from the sizes an icon lists.
  QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override {
    QList<QSize> sizes;
    for (const int side : kPngSides) sizes.append(QSize(side, side));
    return sizes;
  }
};

}  // namespace

QImage image(int side) {
  QImage canvas(side, side, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  QPainter p(&canvas);
  paint(p, QRectF(0, 0, side, side));
  p.end();
  return canvas;
}

QIcon icon() { return QIcon(new Engine); }

}  // namespace lumenrail::AppIcon
