#include "ui/windows/setup/SetupWindowController.hpp"

#include <QEvent>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "text/L10n.hpp"
#include "ui/components/CloseKeys.hpp"

namespace lumenrail {

SetupWindowController::SetupWindowController(std::shared_ptr<SetupModel> model, SetupViewPorts ports,
                                             QObject* parent)
    : QObject(parent), model_(std::move(model)), window_(std::make_unique<QWidget>()) {
  window_->setWindowTitle(QString::fromStdString(L10n::text("setup.welcome.title", L10n::kProductName)));
  window_->setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new SetupView(model_, std::move(ports));
  layout->addWidget(view_);
  window_->setFixedSize(SetupView::kWidth, SetupView::kHeight);
  CloseKeys::install(*window_);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window_->move(screen->availableGeometry().center() - window_->rect().center());
  }
  window_->installEventFilter(this);
}

SetupWindowController::~SetupWindowController() {
  if (window_) window_->removeEventFilter(this);
  model_->stopPolling();
}

void SetupWindowController::show() {
  window_->show();
  window_->raise();
  window_->activateWindow();
  // Return and Space press it at once; Tab shows where the keys are.
  view_->primaryButton()->setFocus();
}

void SetupWindowController::close() { window_->close(); }

bool SetupWindowController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == window_.get() && event->type() == QEvent::Close) model_->stopPolling();
  return QObject::eventFilter(watched, event);
}

}  // namespace lumenrail
