#pragma once

// Escape and Ctrl+W close a window or dialog, as the close button would (a
// dialog rejects, a message box answers like its escape button). Ctrl+W does
// nothing while a text field has focus: there it belongs to the text.

class QWidget;

namespace lumenrail::CloseKeys {

// Once per window; a second call does nothing.
void install(QWidget& window);

}  // namespace lumenrail::CloseKeys
