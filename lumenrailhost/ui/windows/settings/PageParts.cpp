#include "ui/windows/settings/PageParts.hpp"

#include <QPainter>

#include "ui/style/HostFont.hpp"

namespace lumenrail {

using HostStyle::Role;

PageNote::PageNote(const QString& text, QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 0, 4, 0);
  auto* label = new KitLabel(text, HostFont::make(12), HostStyle::dynamic(Role::textDim));
  label->setWordWrap(true);
  layout->addWidget(label);
}

HostCard* cardOf(const std::vector<QWidget*>& rows) {
  auto* card = new HostCard();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (i > 0) card->addContent(new RowDivider());
    card->addContent(rows[i]);
  }
  return card;
}

namespace {

// The closed picker in the kit's rounded face, like its buttons and fields;
// the open list stays the style's.
class KitPicker final : public QComboBox {
 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setOpacity(isEnabled() ? 1.0 : 0.45);
    const QRectF face = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    paintRounded(p, face, 7, HostStyle::bgRaised(), HostStyle::line());
    if (showsFocus(*this)) paintFocusRing(p, QRectF(rect()), 7);
    constexpr int kChevron = 22;
    p.setPen(HostStyle::text());
    const QRect textBox = rect().adjusted(10, 0, -kChevron, 0);
    p.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter,
               fontMetrics().elidedText(currentText(), Qt::ElideRight, textBox.width()));
    QPen pen(HostStyle::textDim(), 1.6);
    pen.setCapStyle(Qt::RoundCap);
    pen.setJoinStyle(Qt::RoundJoin);
    p.setPen(pen);
    const QPointF mid(width() - kChevron / 2.0 - 2, height() / 2.0);
    p.drawPolyline(QPolygonF({mid + QPointF(-3, -1.8), mid + QPointF(0, -4.8), mid + QPointF(3, -1.8)}));
    p.drawPolyline(QPolygonF({mid + QPointF(-3, 1.8), mid + QPointF(0, 4.8), mid + QPointF(3, 1.8)}));
  }

 public:
  // The text's room in the style's face plus what this face's chevron takes more.
  QSize sizeHint() const override { return QComboBox::sizeHint() + QSize(14, 4); }
  QSize minimumSizeHint() const override { return QComboBox::minimumSizeHint() + QSize(14, 4); }
};

}  // namespace

QComboBox* picker(const std::vector<std::pair<QString, QVariant>>& items, const QVariant& current) {
  auto* box = new KitPicker();
  box->setFont(HostFont::make(13));
  box->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  for (const auto& [title, value] : items) box->addItem(title, value);
  box->setCurrentIndex(box->findData(current));
  QPalette p = box->palette();
  p.setColor(QPalette::Button, HostStyle::bgInset());
  p.setColor(QPalette::ButtonText, HostStyle::text());
  p.setColor(QPalette::Window, HostStyle::bgRaised());
  p.setColor(QPalette::WindowText, HostStyle::text());
  p.setColor(QPalette::Base, HostStyle::bgRaised());
  p.setColor(QPalette::Text, HostStyle::text());
  p.setColor(QPalette::Highlight, BrandTheme::controlTint());
  p.setColor(QPalette::HighlightedText, Qt::white);
  box->setPalette(p);
  return box;
}

QVBoxLayout* pageColumn(QWidget* page) {
  auto* column = new QVBoxLayout(page);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(16);
  return column;
}

}  // namespace lumenrail
