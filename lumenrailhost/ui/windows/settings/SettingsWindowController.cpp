#include "ui/windows/settings/SettingsWindowController.hpp"

#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

#include "text/L10n.hpp"
#include "ui/components/CloseKeys.hpp"

namespace lumenrail {

SettingsWindowController::SettingsWindowController(std::shared_ptr<HostSettingsModel> model, SettingsPorts ports,
                                                   QObject* parent)
    : QObject(parent), model_(model), window_(std::make_unique<QWidget>()) {
  window_->setWindowTitle(QString::fromStdString(L10n::text("settings.windowTitle", "Lumenrail Host")));
  window_->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
  auto* layout = new QVBoxLayout(window_.get());
  layout->setContentsMargins(0, 0, 0, 0);
  view_ = new SettingsView(std::move(model), std::move(ports), SettingsSection::startup, true);
  layout->addWidget(view_);
  window_->setFixedSize(SettingsView::kWidth, SettingsView::kHeight);
  CloseKeys::install(*window_);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    window_->move(screen->availableGeometry().center() - window_->rect().center());
  }
}

SettingsWindowController::~SettingsWindowController() = default;

void SettingsWindowController::show() {
  window_->show();
  window_->raise();
  window_->activateWindow();
}

}  // namespace lumenrail
