#include "ui/components/LiveUpdate.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QWidget>

#include "ui/components/ChoiceTiles.hpp"
#include "ui/components/HostButton.hpp"
#include "ui/components/HostSwitch.hpp"

namespace lumenrail::LiveUpdate {

namespace {

QList<QWidget*> children(const QWidget& widget) {
  return widget.findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
}

QStringList items(const QComboBox& box) {
  QStringList all;
  for (int i = 0; i < box.count(); ++i) all << box.itemText(i);
  return all;
}

QList<QWidget*> inTree(const QWidget& widget) {
  QList<QWidget*> shown;
  for (QWidget* w : children(widget)) if (!w->isWindow()) shown << w;
  return shown;
}

bool ownsChildren(const QWidget& widget) {
  const auto* content = dynamic_cast<const LiveContent*>(&widget);
  return content != nullptr && content->ownsChildren();
}

bool sameShape(const QWidget& live, const QWidget& fresh) {
  if (std::string_view(live.metaObject()->className()) != fresh.metaObject()->className()) return false;
  if (live.objectName() != fresh.objectName() || live.property(kKey) != fresh.property(kKey)) return false;
  if (const auto* box = qobject_cast<const QComboBox*>(&live)) {
    if (items(*box) != items(*qobject_cast<const QComboBox*>(&fresh))) return false;
  }
  if (ownsChildren(live)) return true;
  // A menu's or picker's popup is a child window: only the widgets in the tree count.
  const QList<QWidget*> a = inTree(live), b = inTree(fresh);
  if (a.size() != b.size()) return false;
  for (qsizetype i = 0; i < a.size(); ++i) {
    if (!sameShape(*a[i], *b[i])) return false;
  }
  return true;
}

void take(QWidget& live, const QWidget& fresh, bool root) {
  // The fresh tree was never shown: what counts is what each widget was set
  // to, relative to its parent.
  if (!root) {
    const bool enabled = fresh.isEnabledTo(fresh.parentWidget());
    if (live.isEnabledTo(live.parentWidget()) != enabled) live.setEnabled(enabled);
    const bool shown = fresh.isVisibleTo(fresh.parentWidget());
    if (live.isVisibleTo(live.parentWidget()) != shown) live.setVisible(shown);
  }
  if (live.toolTip() != fresh.toolTip()) live.setToolTip(fresh.toolTip());
  if (live.accessibleName() != fresh.accessibleName()) live.setAccessibleName(fresh.accessibleName());
  if (auto* content = dynamic_cast<LiveContent*>(&live)) {
    content->takeContent(fresh);
  } else if (auto* sw = qobject_cast<HostSwitch*>(&live)) {
    sw->setOn(qobject_cast<const HostSwitch*>(&fresh)->isOn());
  } else if (auto* tiles = qobject_cast<ChoiceTiles*>(&live)) {
    tiles->setSelection(qobject_cast<const ChoiceTiles*>(&fresh)->selection());
  } else if (auto* button = qobject_cast<HostButton*>(&live)) {
    const auto* other = qobject_cast<const HostButton*>(&fresh);
    if (button->text() != other->text()) button->setText(other->text());
    button->setSymbol(other->symbol());
  } else if (auto* label = qobject_cast<QLabel*>(&live)) {
    const QString text = qobject_cast<const QLabel*>(&fresh)->text();
    if (label->text() != text) label->setText(text);
  } else if (auto* box = qobject_cast<QComboBox*>(&live)) {
    const QSignalBlocker quiet(box);
    box->setCurrentIndex(qobject_cast<const QComboBox*>(&fresh)->currentIndex());
  } else if (auto* check = qobject_cast<QCheckBox*>(&live)) {
    const QSignalBlocker quiet(check);
    check->setChecked(qobject_cast<const QCheckBox*>(&fresh)->isChecked());
  } else if (auto* field = qobject_cast<QLineEdit*>(&live)) {
    // What the user is typing wins over what the model held.
    const QString text = qobject_cast<const QLineEdit*>(&fresh)->text();
    if (!field->hasFocus() && !field->isModified() && field->text() != text) field->setText(text);
  }
  if (ownsChildren(live)) return;
  const QList<QWidget*> a = inTree(live), b = inTree(fresh);
  for (qsizetype i = 0; i < a.size(); ++i) take(*a[i], *b[i], false);
}

bool takesFocus(const QWidget& widget, const QWidget& root) {
  return widget.focusPolicy() & Qt::TabFocus && widget.isEnabled() && widget.isVisibleTo(&root);
}

QWidget* firstFocusable(QWidget& under, const QWidget& root) {
  if (takesFocus(under, root)) return &under;
  for (QWidget* child : inTree(under)) {
    if (QWidget* found = firstFocusable(*child, root)) return found;
  }
  return nullptr;
}

}  // namespace

bool takeOver(QWidget& live, const QWidget& fresh) {
  if (!sameShape(live, fresh)) return false;
  take(live, fresh, true);
  return true;
}

FocusPlace focusPlace(const QWidget& root) {
  FocusPlace place;
  const QWidget* focus = root.window()->focusWidget();
  if (focus == nullptr || !root.isAncestorOf(focus)) return place;
  place.className = focus->metaObject()->className();
  for (const QWidget* w = focus; w != &root; w = w->parentWidget()) {
    const QList<QWidget*> level = inTree(*w->parentWidget());
    place.path.insert(place.path.begin(), static_cast<int>(level.indexOf(w)));
    place.siblings.insert(place.siblings.begin(), static_cast<int>(level.size()));
  }
  return place;
}

void restoreFocus(QWidget& root, const FocusPlace& place) {
  if (place.empty()) return;
  QWidget* at = &root;
  bool whole = true;
  for (size_t level = 0; level < place.path.size(); ++level) {
    const int index = place.path[level];
    const QList<QWidget*> next = inTree(*at);
    if (index < 0 || next.size() != place.siblings[level]) {
      whole = false;
      break;
    }
    at = next[index];
  }
  QWidget* target = nullptr;
  if (whole && place.className == at->metaObject()->className() && takesFocus(*at, root)) {
    target = at;
  } else if (at != &root) {
    target = firstFocusable(*at, root);
  }
  if (target != nullptr) target->setFocus(Qt::OtherFocusReason);
}

}  // namespace lumenrail::LiveUpdate
