#include "ui/windows/RenameDialog.hpp"

#include <QApplication>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QMessageBox>

#include "app/controller/AlertPlacement.hpp"
#include "ui/qt/MenuBarAlert.hpp"
#include "ui/style/HostFont.hpp"

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
  field->setFont(HostFont::make(13));
  MenuBarAlert::addButton(box, QString::fromStdString(r.accept));
  MenuBarAlert::addButton(box, QString::fromStdString(r.cancel));
  MenuBarAlert::dress(box, MenuBarAlert::AlertMark::info);
  // QMessageBox has no accessory view: the field goes under the texts, in the
  // button row's place, and the buttons one row down.
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  auto* buttons = box.findChild<QDialogButtonBox*>();
  if (grid != nullptr && buttons != nullptr && grid->indexOf(buttons) >= 0) {
    int row = 0, column = 0, rows = 0, columns = 0;
    grid->getItemPosition(grid->indexOf(buttons), &row, &column, &rows, &columns);
    grid->removeWidget(buttons);
    grid->addWidget(field, row, 1, 1, grid->columnCount() - 1);
    grid->addWidget(buttons, row + 1, column, rows, columns);
  } else if (grid != nullptr) {
    grid->addWidget(field, grid->rowCount(), 1, 1, grid->columnCount() - 1);
  }
  field->setFocus();
  QMetaObject::invokeMethod(field, qOverload<>(&QWidget::setFocus), Qt::QueuedConnection);
  box.activateWindow();
  if (MenuBarAlert::runModalOnMenuBarScreen(box) != AlertPlacement::kFirstButton) return std::nullopt;
  return field->text().toStdString();
}

}  // namespace lumenrail
