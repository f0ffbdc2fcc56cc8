#pragma once

// The kit's look on the controls of stock dialogs and plain windows (message
// boxes, input dialogs, the windows not built from kit components alone).
// Buttons take the kit's faces: the default button prominent, a destructive
// one tinted, the rest plain; the style's own focus frame is gone, and every
// control the keys can reach shows the kit's ring instead. So focus (the
// ring, where Space acts) never looks like the default (the fill, where
// Return acts).

class QAbstractButton;
class QWidget;

namespace lumenrail::DialogLook {

// A button that destroys or removes (Reset, Remove, Forget).
void markDanger(QAbstractButton& button);
bool isDanger(const QAbstractButton& button);

// Dresses the buttons of `dialog` and follows the appearance; rings every
// control. Call once its buttons are there; safe to call again.
void apply(QWidget& dialog);

// Every control under `window` that the keys can reach and that has no ring
// of its own gets one (buttons, fields, keyboard-selectable texts).
void ringEveryControl(QWidget& window);

}  // namespace lumenrail::DialogLook
