#include "ui/tray/PanelWindow.hpp"

#include <QPointer>
#include <QVBoxLayout>

#include "platform/Clock.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/tray/HostPanelView.hpp"

namespace lumenrail {

PanelWindow::PanelWindow(HostPanelModel& model, std::shared_ptr<Executor> main, const Localizer& texts)
    : QWidget(nullptr, Qt::Window), model_(model), main_(std::move(main)), view_(new HostPanelView(model, texts, this)) {
  setWindowTitle(QString::fromUtf8(L10n::kProductName));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  // The view's height follows its content.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(view_);
  CloseKeys::install(*this);
}

PanelWindow::~PanelWindow() = default;

void PanelWindow::present() {
  model_.refresh();
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void PanelWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  refresh_ = main_->startTimer(kNsPerSecond, kNsPerSecond, [weak = QPointer<PanelWindow>(this)] {
    if (weak) weak->model_.refresh();
  });
}

void PanelWindow::hideEvent(QHideEvent* event) {
  refresh_.cancel();
  QWidget::hideEvent(event);
}

}  // namespace lumenrail
