#include "ui/style/KitParts.hpp"

#include <QFontMetricsF>
#include <QPainter>
#include <QTextLayout>

#include <vector>
#include <QtMath>

#include "ui/style/HostSymbols.hpp"

namespace lumenrail {

void paintRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& fill, const QColor& border,
                  double borderWidth) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(Qt::NoPen);
  painter.setBrush(fill);
  painter.drawRoundedRect(rect, radius, radius);
  if (borderWidth > 0 && border.alpha() > 0) {
    const double half = borderWidth / 2;
    painter.setPen(QPen(border, borderWidth));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(rect.adjusted(half, half, -half, -half), radius - half, radius - half);
  }
  painter.restore();
}

QString keepTailTogether(const QString& text) {
  constexpr int kMinTail = 12;  // characters on the last line at least
  constexpr int kMaxWords = 3;  // joined; more would leave the line above ragged
  constexpr int kMinWords = 4;  // shorter texts may break anywhere they must
  QStringList lines = text.split(QChar('\n'));
  for (QString& line : lines) {
    if (line.count(QChar(' ')) < kMinWords - 1) continue;
    int gap = line.lastIndexOf(QChar(' '));
    for (int words = 1; gap > 0 && words < kMaxWords; ++words) {
      if (words >= 2 && line.size() - gap - 1 >= kMinTail) break;
      line[gap] = QChar(0x00A0);
      gap = line.lastIndexOf(QChar(' '), gap - 1);
    }
  }
  return lines.join(QChar('\n'));
}

bool showsFocus(const QWidget& widget) {
  return widget.hasFocus() && widget.window()->testAttribute(Qt::WA_KeyboardFocusChange);
}

void paintWrapped(QPainter& painter, const QRectF& rect, const QString& given, int maxLines) {
  const QFontMetricsF metrics(painter.font());
  QString text = given;
  text.replace(QChar('\n'), QChar::LineSeparator);
  QTextLayout layout(text, painter.font());
  QTextOption option;
  option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  layout.setTextOption(option);
  layout.beginLayout();
  std::vector<std::pair<int, int>> lines;
  for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
    line.setLineWidth(rect.width());
    lines.emplace_back(line.textStart(), line.textLength());
  }
  layout.endLayout();
  double y = rect.top() + metrics.ascent();
  for (int i = 0; i < static_cast<int>(lines.size()) && i < maxLines; ++i) {
    const bool last = i + 1 == maxLines && static_cast<int>(lines.size()) > maxLines;
    QString piece = last ? text.mid(lines[i].first) : text.mid(lines[i].first, lines[i].second);
    piece = piece.trimmed();
    if (last) piece = metrics.elidedText(piece.replace(QChar::LineSeparator, QChar(' ')), Qt::ElideRight, rect.width());
    painter.drawText(QPointF(rect.left(), y), piece);
    y += metrics.lineSpacing();
  }
}

KitLabel::KitLabel(const QString& text, const QFont& font, DynamicColor color, QWidget* parent)
    : QLabel(text, parent), color_(color) {
  setFont(font);
  setTextFormat(Qt::PlainText);
  // A label inherits its parent's role otherwise: ButtonText inside a tile.
  setForegroundRole(QPalette::WindowText);
  applyColor();
  connect(&Appearance::instance(), &Appearance::changed, this, &KitLabel::applyColor);
}

void KitLabel::setColor(DynamicColor color) {
  color_ = color;
  applyColor();
}

void KitLabel::setElide(Qt::TextElideMode mode) {
  elide_ = mode;
  setWordWrap(false);
  setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
  updateGeometry();
  update();
}

QString KitLabel::shownText() const {
  if (elide_ == Qt::ElideNone) return text();
  return fontMetrics().elidedText(text(), elide_, contentsRect().width());
}

QSize KitLabel::minimumSizeHint() const {
  if (elide_ == Qt::ElideNone) return QLabel::minimumSizeHint();
  return QSize(fontMetrics().horizontalAdvance(QStringLiteral("W…")), QLabel::minimumSizeHint().height());
}

void KitLabel::paintEvent(QPaintEvent* event) {
  if (elide_ == Qt::ElideNone) return QLabel::paintEvent(event);
  QPainter p(this);
  p.setPen(palette().color(QPalette::WindowText));
  p.drawText(contentsRect(), static_cast<int>(alignment()), shownText());
}

void KitLabel::applyColor() {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, color_.resolve(Appearance::current()));
  setPalette(p);
}

SymbolView::SymbolView(QString name, double size, DynamicColor color, QWidget* parent)
    : QWidget(parent), name_(std::move(name)), size_(size), color_(color) {
  setFixedSize(sizeHint());
  setProperty("liveKey", name_);
  connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
}

void SymbolView::setColor(DynamicColor color) {
  color_ = color;
  update();
}

QSize SymbolView::sizeHint() const { return QSize(qCeil(size_ * 1.2), qCeil(size_ * 1.2)); }

void SymbolView::paintEvent(QPaintEvent*) {
  QPainter p(this);
  HostSymbols::paint(p, name_, QRectF(rect()), color_.resolve(Appearance::current()));
}

}  // namespace lumenrail
