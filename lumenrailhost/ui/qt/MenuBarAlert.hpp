#pragma once

// Modal alerts placed on the primary screen (the one with the panel or tray):
// centred across its available area with the centre one third of the way
// down, then run. Responses are 1000 for the first button added through
// `addButton`, 1001 for the second, and so on.

#include <QMessageBox>

namespace lumenrail::MenuBarAlert {

QAbstractButton* addButton(QMessageBox& box, const QString& title);

// The kit's look on a stock box: its colours, fonts and button faces
// (following the appearance while it is up), the focus ring, the
// application's icon or the kit's warning mark, texts in a column wide enough
// for whole phrases, and the product's name as the window title (the text
// says the rest). Run once the box has its texts and buttons.
enum class AlertMark { none, info, warning };
inline constexpr int kTextWidth = 320;
void dress(QMessageBox& box, AlertMark mark);

// Places the box now and once more when its modal loop has started (the
// window system may move a window as it maps it), runs it and returns the
// response. A box ended from outside with `done(code)` returns that code.
// A box not dressed yet is dressed without a mark.
int runModalOnMenuBarScreen(QMessageBox& box);

// The same for an alert nobody at the computer asked for: shown above the
// other windows without taking the focus from the one the user types in,
// and marked urgent. Not modal; it waits in an event loop of its own.
int runUnfocusedOnMenuBarScreen(QMessageBox& box);

// Cuts every word of the box's texts wider than `maxWordWidth` in its middle
// with an ellipsis, so a long device name or a fingerprint keeps the alert
// its usual width, and keeps the last words of wrapped texts together. Run
// before the box is shown.
inline constexpr int kMaxWordWidth = 280;
void fitLongWords(QMessageBox& box, int maxWordWidth = kMaxWordWidth);

// Moves `box` to its place on the primary screen; nothing without a screen.
void place(QWidget& box);

}  // namespace lumenrail::MenuBarAlert
