#include "ui/qt/QtPorts.hpp"

#include <QClipboard>
#include <QGuiApplication>

namespace lumenrail {

bool QtClipboard::setText(const std::string& text) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  if (clipboard == nullptr) return false;
  const QString value = QString::fromStdString(text);
  clipboard->setText(value);
  // A clipboard that could not take ownership still reads the old text.
  return clipboard->text() == value;
}

}  // namespace lumenrail
