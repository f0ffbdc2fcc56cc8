#include "ui/tray/PanelPopup.hpp"

#include <QCursor>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QTimer>
#include <QVBoxLayout>

#include "app/controller/PopupPlacement.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/tray/HostPanelView.hpp"

namespace lumenrail {

namespace {

// A frameless popup has no edge of its own: on a light wallpaper the light
// panel would melt into it. A hairline over the panel's rim, inside its size.
class PopupEdge final : public QWidget {
 public:
  explicit PopupEdge(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    parent->installEventFilter(this);
    connect(&Appearance::instance(), &Appearance::changed, this, qOverload<>(&QWidget::update));
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == parentWidget() && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) {
      setGeometry(parentWidget()->rect());
      raise();
    }
    return QWidget::eventFilter(watched, event);
  }
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    QColor edge = HostStyle::textDim();
    edge.setAlphaF(Appearance::isDark() ? 0.45f : 0.4f);
    p.setPen(QPen(edge, 1));
    p.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
  }
};

}  // namespace

PanelPopup::PanelPopup(HostPanelModel& model, std::shared_ptr<Executor> main, const Localizer& texts)
    : QWidget(nullptr, Qt::Popup | Qt::FramelessWindowHint),
      model_(model),
      main_(std::move(main)),
      view_(new HostPanelView(model, texts, this)) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(view_);
  // The panel's height follows its content; keep it where it belongs.
  connect(view_, &HostPanelView::rebuilt, this, [this] {
    if (isVisible()) place();
  });
  new PopupEdge(this);
  CloseKeys::install(*this);
}

PanelPopup::~PanelPopup() = default;

void PanelPopup::open(const QRect& icon) {
  anchor_ = icon.isEmpty() ? QRect(QCursor::pos(), QSize(0, 0)) : icon;
  dismissedByPress_ = false;
  // A reopened panel never shows a stale state.
  model_.refresh();
  adjustSize();
  place();
  show();
  raise();
  activateWindow();
}

void PanelPopup::openAt(const QPoint& point) { open(QRect(point, QSize(0, 0))); }

void PanelPopup::toggle(const QRect& icon) {
  if (isOpen()) {
    close();
    return;
  }
  const bool justDismissed = dismissedByPress_ && main_->nowNs() - dismissedAtNs_ < kReopenGuardNs;
  dismissedByPress_ = false;
  if (!justDismissed) open(icon);
}

void PanelPopup::runClosing(std::function<void()> operation) {
  close();
  QTimer::singleShot(0, this, [operation = std::move(operation)] {
    if (operation) operation();
  });
}

void PanelPopup::place() {
  adjustSize();
  const QPoint centre = anchor_.center();
  const QScreen* screen = QGuiApplication::screenAt(centre);
  if (!screen) screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect a = screen->availableGeometry();
  const auto at = PopupPlacement::origin({anchor_.x(), anchor_.y(), anchor_.width(), anchor_.height()}, width(),
                                         height(), {a.x(), a.y(), a.width(), a.height()});
  move(at.x, at.y);
}

void PanelPopup::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh_ = main_->startTimer(kRefreshNs, kRefreshNs, [weak = QPointer<PanelPopup>(this)] {
    if (weak) weak->model_.refresh();
  });
}

void PanelPopup::hideEvent(QHideEvent* event) {
  refresh_.cancel();
  QWidget::hideEvent(event);
}

void PanelPopup::mousePressEvent(QMouseEvent* event) {
  if (!rect().contains(event->position().toPoint())) {
    dismissedByPress_ = true;
    dismissedAtNs_ = main_->nowNs();
    const bool forMenu = event->button() == Qt::RightButton ||
                         (event->button() == Qt::LeftButton && event->modifiers().testFlag(Qt::ControlModifier));
    const QPoint at = event->globalPosition().toPoint();
    if (forMenu && anchor_.adjusted(-2, -2, 2, 2).contains(at)) {
      close();
      emit menuRequested(at);
      return;
    }
  }
  QWidget::mousePressEvent(event);
}

}  // namespace lumenrail
