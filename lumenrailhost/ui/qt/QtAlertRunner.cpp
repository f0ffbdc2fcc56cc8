#include "ui/qt/QtAlertRunner.hpp"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

#include "ui/qt/MenuBarAlert.hpp"

namespace lumenrail {

namespace {

class QtModalAlert final : public ModalAlert {
 public:
  explicit QtModalAlert(AlertRunner::Content content) : content_(std::move(content)) {}
  ~QtModalAlert() override {
    if (box_) box_->deleteLater();
  }

  int runModal() override {
    if (ended_) return *ended_;
    auto* box = new QMessageBox;
    box_ = box;
    box->setText(QString::fromStdString(content_.title));
    box->setInformativeText(QString::fromStdString(content_.detail));
    for (const auto& title : content_.buttons) MenuBarAlert::addButton(*box, QString::fromStdString(title));
    MenuBarAlert::dress(*box, content_.informational ? MenuBarAlert::AlertMark::info : MenuBarAlert::AlertMark::warning);
    // Escape and the close button answer like the last button (the refusal).
    box->setEscapeButton(box->buttons().isEmpty() ? nullptr : box->buttons().last());
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    box->show();
    box->raise();
    box->activateWindow();
    const int response = MenuBarAlert::runModalOnMenuBarScreen(*box);
    box_.clear();
    box->deleteLater();
    return ended_.value_or(response);
  }

  void end(int response) override {
    if (ended_) return;
    ended_ = response;
    if (box_) box_->done(response);
  }

 private:
  const AlertRunner::Content content_;
  QPointer<QMessageBox> box_;
  std::optional<int> ended_;
};

}  // namespace

std::shared_ptr<ModalAlert> QtAlertRunner::make(const Content& content) { return std::make_shared<QtModalAlert>(content); }

}  // namespace lumenrail
