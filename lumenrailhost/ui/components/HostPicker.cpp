#include "ui/components/HostPicker.hpp"

#include <QAbstractItemView>
#include <QFrame>
#include <QPainter>
#include <QStyledItemDelegate>

#include "ui/style/FocusRing.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

// One row of the open list: the chosen one carries a check, the one under
// the pointer or the keys the accent's tint, as the kit's tiles do.
class KitRowDelegate final : public QStyledItemDelegate {
 public:
  explicit KitRowDelegate(QComboBox* box) : QStyledItemDelegate(box), box_(box) {}

  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    return QSize(option.fontMetrics.horizontalAdvance(index.data(Qt::DisplayRole).toString()) + 40,
                 option.fontMetrics.height() + 12);
  }

  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    p->save();
    p->setRenderHint(QPainter::Antialiasing);
    const QRectF row = QRectF(option.rect).adjusted(4, 1, -4, -1);
    if (option.state & (QStyle::State_Selected | QStyle::State_MouseOver)) {
      QColor tint = HostStyle::accent();
      tint.setAlphaF(0.14f);
      paintRounded(*p, row, 5, tint, Qt::transparent, 0);
    }
    const bool chosen = index.row() == box_->currentIndex();
    const QRectF text = row.adjusted(24, 0, -8, 0);
    if (chosen) {
      QPen pen(HostStyle::accent(), 1.6);
      pen.setCapStyle(Qt::RoundCap);
      pen.setJoinStyle(Qt::RoundJoin);
      p->setPen(pen);
      const QPointF mid(row.left() + 12, row.center().y());
      p->drawPolyline(QPolygonF({mid + QPointF(-3.5, 0), mid + QPointF(-1, 2.8), mid + QPointF(4, -3)}));
    }
    p->setFont(option.font);
    p->setPen(HostStyle::text());
    p->drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                              static_cast<int>(text.width())));
    p->restore();
  }

 private:
  QComboBox* box_;
};

}  // namespace

HostPicker::HostPicker(QWidget* parent) : QComboBox(parent) {
  setItemDelegate(new KitRowDelegate(this));
  FocusRing::attach(*this, 7);
  applyPalette();
  connect(&Appearance::instance(), &Appearance::changed, this, [this] {
    applyPalette();
    update();
  });
}

void HostPicker::applyPalette() {
  QPalette p = palette();
  p.setColor(QPalette::Button, HostStyle::bgRaised());
  p.setColor(QPalette::ButtonText, HostStyle::text());
  p.setColor(QPalette::Window, HostStyle::bgRaised());
  p.setColor(QPalette::WindowText, HostStyle::text());
  p.setColor(QPalette::Base, HostStyle::bgRaised());
  p.setColor(QPalette::Text, HostStyle::text());
  p.setColor(QPalette::Light, HostStyle::line());
  p.setColor(QPalette::Dark, HostStyle::line());
  p.setColor(QPalette::Mid, HostStyle::line());
  p.setColor(QPalette::Shadow, HostStyle::line());
  p.setColor(QPalette::Highlight, HostStyle::bgRaised());
  p.setColor(QPalette::HighlightedText, HostStyle::text());
  setPalette(p);
  // The list lives in a window of its own: it takes the palette only when told.
  view()->setPalette(p);
  if (QWidget* popup = view()->window(); popup && popup != window()) popup->setPalette(p);
}

void HostPicker::showPopup() {
  applyPalette();
  view()->setMouseTracking(true);
  QComboBox::showPopup();
  if (auto* frame = qobject_cast<QFrame*>(view()->window())) frame->setLineWidth(1);
}

void HostPicker::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setOpacity(isEnabled() ? 1.0 : 0.45);
  const QRectF face = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  paintRounded(p, face, 7, HostStyle::bgRaised(), HostStyle::line());
  constexpr int kChevron = 22;
  p.setPen(HostStyle::text());
  const QRect textBox = rect().adjusted(10, 0, -kChevron, 0);
  p.drawText(textBox, Qt::AlignLeft | Qt::AlignVCenter,
             fontMetrics().elidedText(currentText(), Qt::ElideRight, textBox.width()));
  QPen pen(HostStyle::textDim(), 1.6);
  pen.setCapStyle(Qt::RoundCap);
  pen.setJoinStyle(Qt::RoundJoin);
  p.setPen(pen);
  // One down arrow, as the desktop's own pickers draw it.
  const QPointF mid(width() - kChevron / 2.0 - 2, height() / 2.0);
  p.drawPolyline(QPolygonF({mid + QPointF(-3.5, -1.6), mid + QPointF(0, 1.9), mid + QPointF(3.5, -1.6)}));
}

}  // namespace lumenrail
