#pragma once

// A control's menu stays with the control. It opens under it (above it where
// the screen has no room below) and inside the screen; while it is open it
// follows the control when the window moves or the control moves inside it,
// keeps inside the screen when its items change, and closes when the control
// is hidden or goes. A menu left where it opened ends up beside another row,
// and one that grows in place runs off the screen's edge.

class QMenu;
class QWidget;

namespace lumenrail::MenuAnchor {

void open(QMenu& menu, QWidget& control);

}  // namespace lumenrail::MenuAnchor
