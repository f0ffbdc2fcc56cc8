#pragma once

// Pieces the style components share: a text label and a symbol in palette
// colours that follow the appearance, and the kit's rounded shapes.

#include <QLabel>
#include <QWidget>

#include "ui/style/HostFont.hpp"
#include "ui/style/HostStyle.hpp"

namespace lumenrail {

// Fills a rounded rectangle and draws its border inside the edge, so the
// outer size does not grow with the line width.
void paintRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& fill, const QColor& border,
                  double borderWidth = 1.0);

class KitLabel final : public QLabel {
  Q_OBJECT

 public:
  KitLabel(const QString& text, const QFont& font, DynamicColor color, QWidget* parent = nullptr);
  void setColor(DynamicColor color);

 private:
  void applyColor();
  DynamicColor color_;
};

class SymbolView final : public QWidget {
  Q_OBJECT

 public:
  SymbolView(QString name, double size, DynamicColor color, QWidget* parent = nullptr);
  void setColor(DynamicColor color);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString name_;
  double size_;
  DynamicColor color_;
};

}  // namespace lumenrail
