#include "ui/components/CloseKeys.hpp"

#include <QAbstractSpinBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTextEdit>
#include <QVariant>
#include <QWidget>

namespace lumenrail::CloseKeys {

namespace {

bool typingIn(const QWidget* focus) {
  if (focus == nullptr) return false;
  if (const auto* line = qobject_cast<const QLineEdit*>(focus)) return !line->isReadOnly();
  if (const auto* text = qobject_cast<const QTextEdit*>(focus)) return !text->isReadOnly();
  if (const auto* plain = qobject_cast<const QPlainTextEdit*>(focus)) return !plain->isReadOnly();
  return qobject_cast<const QAbstractSpinBox*>(focus) != nullptr;
}

}  // namespace

void install(QWidget& window) {
  // Twice would make each key ambiguous, and an ambiguous shortcut fires neither.
  constexpr const char* kInstalled = "lumenrailCloseKeys";
  if (window.property(kInstalled).toBool()) return;
  window.setProperty(kInstalled, true);
  // Window-wide, so they fire wherever focus sits inside it; a popup list or
  // menu is a window of its own and takes its Escape first.
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), &window);
  escape->setContext(Qt::WindowShortcut);
  QObject::connect(escape, &QShortcut::activated, &window, [w = &window] { w->close(); });
  auto* closeKey = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_W), &window);
  closeKey->setContext(Qt::WindowShortcut);
  QObject::connect(closeKey, &QShortcut::activated, &window, [w = &window] {
    if (!typingIn(w->focusWidget())) w->close();
  });
}

}  // namespace lumenrail::CloseKeys
