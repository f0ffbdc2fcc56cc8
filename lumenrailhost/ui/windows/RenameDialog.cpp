#include "ui/windows/RenameDialog.hpp"

#include <QApplication>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>

#include "app/controller/AlertPlacement.hpp"
#include "ui/qt/MenuBarAlert.hpp"

namespace lumenrail {

std::optional<std::string> QtRenamePrompt::ask(const Request& r) {
  QMessageBox box;
  box.setIcon(QMessageBox::NoIcon);
  box.setText(QString::fromStdString(r.title));
  box.setInformativeText(QString::fromStdString(r.message));
  auto* field = new QLineEdit(QString::fromStdString(r.text));
  field->setObjectName("renameField");
  field->setPlaceholderText(QString::fromStdString(r.placeholder));
  field->setFixedSize(260, 24);
  // QMessageBox has no accessory view: the field goes under the texts.
  if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
    grid->addWidget(field, grid->rowCount(), 1, 1, grid->columnCount() - 1);
  }
  MenuBarAlert::addButton(box, QString::fromStdString(r.accept));
  MenuBarAlert::addButton(box, QString::fromStdString(r.cancel));
  field->setFocus();
  QMetaObject::invokeMethod(field, qOverload<>(&QWidget::setFocus), Qt::QueuedConnection);
  box.activateWindow();
  if (MenuBarAlert::runModalOnMenuBarScreen(box) != AlertPlacement::kFirstButton) return std::nullopt;
  return field->text().toStdString();
}

}  // namespace lumenrail
