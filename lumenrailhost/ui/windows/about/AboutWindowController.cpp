#include "ui/windows/about/AboutWindowController.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "text/L10n.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/windows/about/AboutView.hpp"

namespace lumenrail {

AboutWindowController::AboutWindowController(std::shared_ptr<Clipboard> clipboard, std::shared_ptr<UrlOpener> opener,
                                             QObject* parent)
    : QObject(parent), window_(std::make_unique<QWidget>()) {
  window_->setWindowTitle(QString::fromStdString(L10n::text("about.title", L10n::kProductName)));
  window_->setWindowFlag(Qt::WindowMinMaxButtonsHint, false);
  window_->setAutoFillBackground(true);
  const auto paint = [w = window_.get()] {
    QPalette p = w->palette();
    p.setColor(QPalette::Window, HostStyle::bg());
    w->setPalette(p);
  };
  paint();
  connect(&Appearance::instance(), &Appearance::changed, window_.get(), paint);
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(new AboutView(std::move(clipboard), std::move(opener)));
  window_->setFixedSize(360, 372);
  CloseKeys::install(*window_);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window_->move(screen->availableGeometry().center() - window_->rect().center());
  }
}

AboutWindowController::~AboutWindowController() = default;

void AboutWindowController::show() {
  window_->show();
  window_->raise();
  window_->activateWindow();
}

}  // namespace lumenrail
