#include "ui/qt/MenuBarAlert.hpp"

#include <QAbstractButton>
#include <QApplication>
#include <QEventLoop>
#include <QGuiApplication>
#include <QLabel>
#include <QLayout>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QWindow>

#include "app/controller/AlertPlacement.hpp"
#include "text/L10n.hpp"
#include "ui/components/CloseKeys.hpp"
#include "ui/components/DialogLook.hpp"
#include "ui/style/AppIcon.hpp"
#include "ui/style/HostFont.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/HostSymbols.hpp"
#include "ui/style/KitParts.hpp"

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

namespace {

QPixmap markPixmap(AlertMark mark, qreal ratio) {
  constexpr int kSide = 44;
  if (mark == AlertMark::info) return AppIcon::icon().pixmap(QSize(kSide, kSide), ratio);
  QPixmap pixmap(QSize(kSide, kSide) * ratio);
  pixmap.setDevicePixelRatio(ratio);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  HostSymbols::paint(p, "exclamationmark.triangle", QRectF(4, 4, kSide - 8, kSide - 8), HostStyle::warn());
  return pixmap;
}

void dressNow(QMessageBox& box, AlertMark mark) {
  box.setPalette(Appearance::kitPalette());
  if (mark != AlertMark::none) box.setIconPixmap(markPixmap(mark, box.devicePixelRatioF()));
}

constexpr const char* kDressedProperty = "lumenrailAlertDressed";

}  // namespace

void dress(QMessageBox& box, AlertMark mark) {
  box.setWindowTitle(QString::fromStdString(L10n::kProductName));
  box.setFont(HostFont::make(13));
  if (auto* title = box.findChild<QLabel*>("qt_msgbox_label")) {
    title->setFont(HostFont::make(14, HostFont::Weight::semibold));
    title->setFixedWidth(kTextWidth);
    title->setWordWrap(true);
  }
  if (auto* detail = box.findChild<QLabel*>("qt_msgbox_informativelabel")) {
    detail->setFont(HostFont::make(12.5));
    detail->setFixedWidth(kTextWidth);
    detail->setWordWrap(true);
  }
  dressNow(box, mark);
  DialogLook::apply(box);
  CloseKeys::install(box);
  box.setProperty(kDressedProperty, true);
  QObject::connect(&Appearance::instance(), &Appearance::changed, &box, [&box, mark] { dressNow(box, mark); });
}

void fitLongWords(QMessageBox& box, int maxWordWidth) {
  for (auto* label : box.findChildren<QLabel*>()) {
    if (label->textFormat() == Qt::RichText || label->text().isEmpty()) continue;
    const QFontMetrics metrics(label->font());
    // Words a previous fitting bound together are words again.
    QStringList words = QString(label->text()).replace(QChar(0x00A0), QChar(' ')).split(' ');
    for (QString& word : words) {
      // A link stays whole: it is there to be read out and typed.
      if (metrics.horizontalAdvance(word) <= maxWordWidth || word.contains("://")) continue;
      word = metrics.elidedText(word, Qt::ElideMiddle, maxWordWidth);
    }
    const QString fitted = label->wordWrap() ? keepTailTogether(words.join(' ')) : words.join(' ');
    if (fitted != label->text()) label->setText(fitted);
  }
}

void place(QWidget& box) {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect a = screen->availableGeometry();
  const auto at = AlertPlacement::origin({a.x(), a.y(), a.width(), a.height()}, box.width(), box.height());
  box.move(at.x, at.y);
}

namespace {

void prepareToRun(QMessageBox& box) {
  if (!box.property(kDressedProperty).toBool()) dress(box, AlertMark::none);
  // Controls added after the dressing (a text field) get their ring too.
  DialogLook::ringEveryControl(box);
  CloseKeys::install(box);
  fitLongWords(box);
  if (box.layout()) box.layout()->activate();
  box.adjustSize();
  place(box);
  QPointer<QMessageBox> weak(&box);
  QTimer::singleShot(0, &box, [weak] {
    if (weak) place(*weak);
  });
}

int responseOf(const QMessageBox& box, int result) {
  if (const auto* clicked = box.clickedButton(); clicked && clicked->property(kIndexProperty).isValid()) {
    return AlertPlacement::kFirstButton + clicked->property(kIndexProperty).toInt();
  }
  return result;
}

// Marked urgent once mapped: before that, Qt writes the hint into a property
// that the window manager may already have read.
class UrgentOnceExposed final : public QObject {
 public:
  explicit UrgentOnceExposed(QWidget& box) : QObject(&box), box_(box) {}
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Expose && !marked_ && box_.windowHandle() && box_.windowHandle()->isExposed()) {
      marked_ = true;
      QApplication::alert(&box_);
    }
    return false;
  }

 private:
  QWidget& box_;
  bool marked_ = false;
};

}  // namespace

int runModalOnMenuBarScreen(QMessageBox& box) {
  prepareToRun(box);
  return responseOf(box, box.exec());
}

int runUnfocusedOnMenuBarScreen(QMessageBox& box) {
  prepareToRun(box);
  // Not modal: Qt asks the window manager to activate every modal window it
  // shows. Without activation the window is mapped with a user time of 0,
  // which tells the window manager to leave the focus where it is.
  const Qt::WindowFlags flags = box.windowFlags();
  box.setWindowModality(Qt::NonModal);
  box.setWindowFlags(flags);  // the modality change drops a stays-on-top hint
  box.setAttribute(Qt::WA_ShowWithoutActivating);
  box.winId();
  box.windowHandle()->installEventFilter(new UrgentOnceExposed(box));
  QEventLoop loop;
  QObject::connect(&box, &QDialog::finished, &loop, &QEventLoop::quit);
  box.show();
  box.raise();
  if (box.isVisible()) loop.exec(QEventLoop::DialogExec);
  return responseOf(box, box.result());
}

}  // namespace lumenrail::MenuBarAlert
