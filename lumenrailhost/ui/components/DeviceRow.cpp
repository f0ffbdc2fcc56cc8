#include "ui/components/DeviceRow.hpp"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>

#include <set>

#include "text/L10n.hpp"
#include "ui/components/HostCard.hpp"
#include "ui/components/IconBadge.hpp"
#include "ui/components/LiveUpdate.hpp"
#include "ui/components/MenuAnchor.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail {

namespace {

// The "…" that opens the device menu; its whole 26 x 26 square takes clicks.
class EllipsisButton final : public QAbstractButton {
 public:
  explicit EllipsisButton(QWidget* parent) : QAbstractButton(parent) {
    setFixedSize(26, 26);
    setCursor(Qt::PointingHandCursor);
    FocusRing::attach(*this, 6);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    HostSymbols::paint(p, "ellipsis", QRectF(5, 5, 16, 16), HostStyle::textDim());
  }
};

// The device's name on one line, cut at the tail when the row is narrow.
class NameLabel final : public QWidget, public LiveContent {
 public:
  explicit NameLabel(const QString& text) : text_(text) {
    setFont(HostFont::make(13.5, HostFont::Weight::medium));
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    setAccessibleName(text);
  }
  QSize sizeHint() const override {
    return QSize(fontMetrics().horizontalAdvance(text_), fontMetrics().height());
  }
  void takeContent(const QWidget& fresh) override { setText(static_cast<const NameLabel&>(fresh).text_); }
  void setText(const QString& text) {
    if (text == text_) return;
    text_ = text;
    setAccessibleName(text);
    updateGeometry();
    update();
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(HostStyle::text());
    p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text_, Qt::ElideRight, width()));
  }

 private:
  QString text_;
};

}  // namespace

DeviceRow::DeviceRow(const PanelDeviceRow& row, const PanelActions& actions, const Localizer& texts, QWidget* parent)
    : QWidget(parent), row_(row) {
  auto* line = new QHBoxLayout(this);
  line->setContentsMargins(14, 11, 14, 11);
  line->setSpacing(12);
  badge_ = new IconBadge(QString::fromStdString(row.symbol), HostStyle::dynamic(HostStyle::Role::accent));
  line->addWidget(badge_);

  auto* column = new QVBoxLayout();
  column->setSpacing(2);
  auto* name = new NameLabel(QString::fromStdString(row.name));
  name->setObjectName("name");
  name_ = name;
  column->addWidget(name);
  detail_ = new KitLabel(QString::fromStdString(row.detail), HostFont::make(11.8),
                         HostStyle::dynamic(HostStyle::Role::textDim));
  detail_->setObjectName("detail");
  detail_->setElide(Qt::ElideRight);
  column->addWidget(detail_);
  line->addLayout(column, 1);

  // Built for every row and shown for a paired one; the actions read the
  // fingerprint when they run, so a row that changes in place stays right.
  menuButton_ = new EllipsisButton(this);
  menuButton_->setToolTip(QString::fromStdString(texts.text("panel.deviceActions")));
  menuButton_->setAccessibleName(menuButton_->toolTip());
  menu_ = new QMenu(this);
  const auto on = [this](std::function<void(const std::string&)> run) {
    return [this, run = std::move(run)] {
      if (row_.fingerprint && run) run(*row_.fingerprint);
    };
  };
  setMain_ = menu_->addAction(QString::fromStdString(texts.text("device.setMain")));
  connect(setMain_, &QAction::triggered, this, on(actions.setMain));
  auto* disconnect = menu_->addAction(QString::fromStdString(texts.text("device.disconnect")));
  connect(disconnect, &QAction::triggered, this, on(actions.disconnect));
  menu_->addSeparator();
  auto* forget = menu_->addAction(QString::fromStdString(texts.text("device.forget")));
  connect(forget, &QAction::triggered, this, on(actions.forget));
  connect(menuButton_, &QAbstractButton::clicked, this, [this] { MenuAnchor::open(*menu_, *menuButton_); });
  line->addWidget(menuButton_);
  showRow(row);
}

void DeviceRow::showRow(const PanelDeviceRow& row) {
  row_ = row;
  badge_->setSymbol(QString::fromStdString(row.symbol));
  static_cast<NameLabel*>(name_)->setText(QString::fromStdString(row.name));
  detail_->setText(QString::fromStdString(row.detail));
  menuButton_->setVisible(row.fingerprint.has_value());
  if (!row.fingerprint) menu_->close();
  setMain_->setVisible(row.showSetMain);
  setMain_->setEnabled(row.setMainEnabled);
}

QAbstractButton* DeviceRow::menuButton() const { return row_.fingerprint ? menuButton_ : nullptr; }

DeviceList::DeviceList(const std::vector<PanelDeviceRow>& rows, const PanelActions& actions, const Localizer& texts,
                       QWidget* parent)
    : QWidget(parent), actions_(actions), texts_(texts), column_(new QVBoxLayout(this)) {
  column_->setContentsMargins(0, 0, 0, 0);
  column_->setSpacing(0);
  showRows(rows);
}

void DeviceList::takeContent(const QWidget& fresh) { showRows(static_cast<const DeviceList&>(fresh).rows_); }

void DeviceList::showRows(const std::vector<PanelDeviceRow>& rows) {
  rows_ = rows;
  std::map<int32_t, DeviceRow*> kept;
  for (const auto& row : rows) {
    if (kept.count(row.id) != 0) continue;
    auto found = shown_.find(row.id);
    if (found != shown_.end()) {
      found->second->showRow(row);
      kept.emplace(row.id, found->second);
      shown_.erase(found);
    } else {
      kept.emplace(row.id, new DeviceRow(row, actions_, texts_, this));
    }
  }
  for (auto& [id, gone] : shown_) {
    // Its own menu may be running this refresh (Disconnect): it goes later.
    gone->hide();
    gone->setParent(nullptr);
    gone->deleteLater();
  }
  shown_ = std::move(kept);
  // Lay the rows out again in the new order; only the dividers are made anew.
  while (QLayoutItem* item = column_->takeAt(0)) {
    delete qobject_cast<RowDivider*>(item->widget());
    delete item;
  }
  // Added to a shown list, a widget would show only on the next turn, after
  // the panel has measured its height: show each one now.
  std::set<int32_t> placed;
  for (const auto& row : rows) {
    if (!placed.insert(row.id).second) continue;
    if (row.dividerAbove) {
      auto* divider = new RowDivider();
      column_->addWidget(divider);
      divider->show();
    }
    DeviceRow* shown = shown_.at(row.id);
    column_->addWidget(shown);
    shown->show();
  }
  followTabOrder(rows);
  // The panel measures its height right after this, and a layout remembers
  // its children's heights: tell every one up to the window now, not on the
  // next layout pass.
  for (QWidget* w = this; w != nullptr && !w->isWindow(); w = w->parentWidget()) w->updateGeometry();
}

// A row made after the window's other controls sits at the end of the focus
// chain, and kept rows keep their old places: Tab must go down the list as
// it reads, right after the control before the list.
void DeviceList::followTabOrder(const std::vector<PanelDeviceRow>& rows) {
  QWidget* previous = nullptr;
  for (QWidget* w = previousInFocusChain(); w != nullptr && w != this && !w->isWindow();
       w = w->previousInFocusChain()) {
    if (!isAncestorOf(w) && (w->focusPolicy() & Qt::TabFocus) != 0) {
      previous = w;
      break;
    }
  }
  std::set<int32_t> placed;
  for (const auto& row : rows) {
    if (!placed.insert(row.id).second) continue;
    QWidget* button = shown_.at(row.id)->menuButton();
    if (button == nullptr) continue;
    if (previous != nullptr) QWidget::setTabOrder(previous, button);
    previous = button;
  }
}

}  // namespace lumenrail
