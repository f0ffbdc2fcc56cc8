#include "ui/qt/MenuBarAlert.hpp"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "app/controller/AlertPlacement.hpp"

namespace lumenrail::MenuBarAlert {

namespace {

constexpr const char* kIndexProperty = "lumenrailAlertIndex";

}  // namespace

QAbstractButton* addButton(QMessageBox& box, const QString& title) {
  int index = 0;
  for (auto* b : box.buttons()) {
    if (b->property(kIndexProperty).isValid()) ++index;
  }
  auto* button = box.addButton(title, index == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole);
  button->setProperty(kIndexProperty, index);
  if (index == 0) box.setDefaultButton(button);
  return button;
}

void fitLongWords(QMessageBox& box, int maxWordWidth) {
  for (auto* label : box.findChildren<QLabel*>()) {
    if (label->textFormat() == Qt::RichText || label->text().isEmpty()) continue;
    const QFontMetrics metrics(label->font());
    QStringList words = label->text().split(' ');
    bool cut = false;
    for (QString& word : words) {
      // A link stays whole: it is there to be read out and typed.
      if (metrics.horizontalAdvance(word) <= maxWordWidth || word.contains("://")) continue;
      word = metrics.elidedText(word, Qt::ElideMiddle, maxWordWidth);
      cut = true;
    }
    if (cut) label->setText(words.join(' '));
  }
}

void place(QWidget& box) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect a = screen->availableGeometry();
  const auto at = AlertPlacement::origin({a.x(), a.y(), a.width(), a.height()}, box.width(), box.height());
  box.move(at.x, at.y);
}

int runModalOnMenuBarScreen(QMessageBox& box) {
  fitLongWords(box);
  if (box.layout()) box.layout()->activate();
  box.adjustSize();
  place(box);
  QPointer<QMessageBox> weak(&box);
  QTimer::singleShot(0, &box, [weak] {
    if (weak) place(*weak);
  });
  const int result = box.exec();
  if (const auto* clicked = box.clickedButton(); clicked && clicked->property(kIndexProperty).isValid()) {
    return AlertPlacement::kFirstButton + clicked->property(kIndexProperty).toInt();
  }
  return result;
}

}  // namespace lumenrail::MenuBarAlert
