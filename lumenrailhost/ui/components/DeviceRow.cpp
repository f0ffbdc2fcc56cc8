#include "ui/components/DeviceRow.hpp"

#include <QAbstractButton>
#include <QHBoxLayout>
#include <QMenu>
#include <QPainter>
#include <QVBoxLayout>

#include "app/text/L10n.hpp"
#include "ui/components/IconBadge.hpp"
#include "ui/components/IconBadge.hpp"
#include "ui/components/LiveUpdate.hpp"
#include "ui/style/FocusRing.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"
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
  void takeContent(const QWidget& fresh) override {
    const QString& text = static_cast<const NameLabel&>(fresh).text_;
    if (text == text_) return;
    text_ = text;
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
    : QWidget(parent) {
  auto* line = new QHBoxLayout(this);
  line->setContentsMargins(14, 11, 14, 11);
  line->setSpacing(12);
  line->addWidget(new IconBadge(QString::fromStdString(row.symbol), HostStyle::dynamic(HostStyle::Role::accent)));

  auto* column = new QVBoxLayout();
  column->setSpacing(2);
  auto* name = new NameLabel(QString::fromStdString(row.name));
  name->setObjectName("name");
  column->addWidget(name);
  auto* detail = new KitLabel(QString::fromStdString(row.detail), HostFont::make(11.8),
                              HostStyle::dynamic(HostStyle::Role::textDim));
  detail->setObjectName("detail");
  detail->setElide(Qt::ElideRight);
  column->addWidget(detail);
  line->addLayout(column, 1);

  if (!row.fingerprint) return;
  // The menu's actions hold the fingerprint and the main-display choice.
  setProperty(LiveUpdate::kKey, QString::fromStdString(*row.fingerprint) + QString("|%1%2").arg(row.showSetMain).arg(row.setMainEnabled));
  const std::string fingerprint = *row.fingerprint;
  menuButton_ = new EllipsisButton(this);
  menuButton_->setToolTip(QString::fromStdString(texts.text("panel.deviceActions")));
  menuButton_->setAccessibleName(menuButton_->toolTip());
  menu_ = new QMenu(this);
  if (row.showSetMain) {
    auto* setMain = menu_->addAction(QString::fromStdString(texts.text("device.setMain")));
    setMain->setEnabled(row.setMainEnabled);
    connect(setMain, &QAction::triggered, this, [run = actions.setMain, fingerprint] { run(fingerprint); });
  }
  auto* disconnect = menu_->addAction(QString::fromStdString(texts.text("device.disconnect")));
  connect(disconnect, &QAction::triggered, this, [run = actions.disconnect, fingerprint] { run(fingerprint); });
  menu_->addSeparator();
  auto* forget = menu_->addAction(QString::fromStdString(texts.text("device.forget")));
  connect(forget, &QAction::triggered, this, [run = actions.forget, fingerprint] { run(fingerprint); });
  connect(menuButton_, &QAbstractButton::clicked, this,
          [this] { menu_->popup(menuButton_->mapToGlobal(QPoint(0, menuButton_->height()))); });
  line->addWidget(menuButton_);
}

}  // namespace lumenrail
