#include "ui/components/DialogLook.hpp"

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVariant>

#include "ui/style/FocusRing.hpp"
#include "ui/style/HostStyle.hpp"

namespace lumenrail::DialogLook {

namespace {

constexpr const char* kDanger = "lumenrailDanger";
constexpr const char* kDressed = "lumenrailDialogLook";

QString css(const QColor& c) {
  return QString("rgba(%1, %2, %3, %4)").arg(c.red()).arg(c.green()).arg(c.blue()).arg(c.alphaF(), 0, 'f', 3);
}

// Over the plain fill: the warning tint the kit's banners use.
QColor over(const QColor& tint, const QColor& base) {
  const double a = tint.alphaF();
  return QColor::fromRgbF(static_cast<float>(tint.redF() * a + base.redF() * (1 - a)),
                          static_cast<float>(tint.greenF() * a + base.greenF() * (1 - a)),
                          static_cast<float>(tint.blueF() * a + base.blueF() * (1 - a)));
}

// The kit's button table: plain, prominent (the default), danger. Hover
// turns a plain face accent (danger: warn); press dims the face.
QString buttonSheet() {
  const QColor text = HostStyle::text(), inset = HostStyle::bgInset(), line = HostStyle::line();
  const QColor accent = HostStyle::accent(), warn = HostStyle::warn(), tint = BrandTheme::controlTint();
  QColor tintHover = tint;
  tintHover.setAlphaF(0.88f);
  const QColor dangerFill = over(HostStyle::warnBg(), inset);
  return QString(
             "QPushButton { color: %1; background-color: %2; border: 1px solid %3; border-radius: 7px;"
             " padding: 5px 13px; min-width: 52px; outline: none; }"
             "QPushButton:hover { color: %4; border-color: %4; }"
             "QPushButton:pressed { background-color: %3; }"
             "QPushButton:disabled { color: %9; }"
             "QPushButton[lumenrailDanger=\"true\"] { background-color: %5; border-color: %6; }"
             "QPushButton[lumenrailDanger=\"true\"]:hover { color: %6; }"
             "QPushButton:default { color: white; background-color: %7; border-color: %7; padding: 5px 14px; }"
             "QPushButton:default:hover { color: white; background-color: %8; border-color: %8; }"
             "QPushButton:default:pressed { background-color: %8; }")
      .arg(css(text), css(inset), css(line), css(accent), css(dangerFill), css(warn), css(tint), css(tintHover),
           css(HostStyle::textDim()));
}

// On each button, not the dialog: a dialog's style sheet would cut its
// texts off the palette that follows the appearance.
void dressNow(QWidget& dialog) {
  const QString sheet = buttonSheet();
  for (auto* button : dialog.findChildren<QPushButton*>()) {
    button->setStyleSheet(sheet);
    // The desktop theme's stock icons (a tick on OK, a cross on Cancel) are
    // no part of the kit's faces.
    button->setIcon(QIcon());
  }
  ringEveryControl(dialog);
}

}  // namespace

void markDanger(QAbstractButton& button) {
  button.setProperty(kDanger, true);
  // A style sheet reads dynamic properties only when it is applied again.
  if (!button.styleSheet().isEmpty()) button.setStyleSheet(buttonSheet());
}

bool isDanger(const QAbstractButton& button) { return button.property(kDanger).toBool(); }

void apply(QWidget& dialog) {
  dressNow(dialog);
  if (dialog.property(kDressed).toBool()) return;
  dialog.setProperty(kDressed, true);
  QObject::connect(&Appearance::instance(), &Appearance::changed, &dialog, [&dialog] { dressNow(dialog); });
}

void ringEveryControl(QWidget& window) {
  for (QWidget* w : window.findChildren<QWidget*>()) {
    if (!(w->focusPolicy() & Qt::TabFocus) || FocusRing::faceOf(*w).isValid()) continue;
    if (qobject_cast<QPushButton*>(w) || qobject_cast<QComboBox*>(w)) {
      FocusRing::attach(*w, 7);
    } else if (qobject_cast<QLineEdit*>(w)) {
      FocusRing::attach(*w, 3);
    } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
      FocusRing::attach(*check, 3);
    } else if (qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w)) {
      FocusRing::attach(*w, 4);
    }
  }
}

}  // namespace lumenrail::DialogLook
