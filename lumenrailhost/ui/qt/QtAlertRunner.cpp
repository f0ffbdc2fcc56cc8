#include "ui/qt/QtAlertRunner.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <vector>

#include "ui/qt/MenuBarAlert.hpp"

namespace lumenrail {

namespace {

// Someone typing elsewhere must not answer it by accident: Return, Space and
// Escape refuse, and no letter presses a button.
void refuseByDefault(QMessageBox& box, const std::vector<QAbstractButton*>& buttons) {
  auto* refusal = buttons.empty() ? nullptr : qobject_cast<QPushButton*>(buttons.back());
  if (!refusal) return;
  for (auto* button : buttons) {
    button->setShortcut(QKeySequence());
    // A button that has the focus would otherwise become the one Return presses.
    if (auto* push = qobject_cast<QPushButton*>(button)) push->setAutoDefault(false);
  }
  box.setDefaultButton(refusal);
  box.setEscapeButton(refusal);
  refusal->setFocus();
}

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
    std::vector<QAbstractButton*> buttons;
    for (const auto& title : content_.buttons) {
      buttons.push_back(MenuBarAlert::addButton(*box, QString::fromStdString(title)));
    }
    MenuBarAlert::dress(*box, content_.informational ? MenuBarAlert::AlertMark::info : MenuBarAlert::AlertMark::warning);
    // Escape and the close button answer like the last button (the refusal).
    box->setEscapeButton(box->buttons().isEmpty() ? nullptr : box->buttons().last());
    box->setWindowFlag(Qt::WindowStaysOnTopHint);
    int response = 0;
    if (content_.raisedByPeer) {
      refuseByDefault(*box, buttons);
      response = MenuBarAlert::runUnfocusedOnMenuBarScreen(*box);
    } else {
      box->show();
      box->raise();
      box->activateWindow();
      response = MenuBarAlert::runModalOnMenuBarScreen(*box);
    }
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
