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

// Focus the keys brought (Tab, a shortcut), not a click: only that shows the ring.
bool showsFocus(const QWidget& widget);

// A wrapped paragraph never ends in a short word alone on its line ("code.",
// "or tablet."): its last words are joined by no-break spaces until they
// would fill a line of their own. Texts of a few words, and each line of a
// text with line breaks, are handled alike.
QString keepTailTogether(const QString& text);

// Word-wrapped text in at most `maxLines` lines from the top of `rect`; the
// last line ends in an ellipsis when the text goes on.
void paintWrapped(QPainter& painter, const QRectF& rect, const QString& text, int maxLines);

class KitLabel final : public QLabel {
  Q_OBJECT

 public:
  KitLabel(const QString& text, const QFont& font, DynamicColor color, QWidget* parent = nullptr);
  void setColor(DynamicColor color);
  // One line cut to the width it is given, for names and fingerprints of
  // any length; the owner gives the whole text as the tooltip.
  void setElide(Qt::TextElideMode mode);
  QString shownText() const;
  QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void applyColor();
  DynamicColor color_;
  Qt::TextElideMode elide_ = Qt::ElideNone;
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
