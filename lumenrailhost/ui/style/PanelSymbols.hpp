#pragma once

// The symbols of the tray panel and menu, drawn in a 24 x 24 box; the
// symbol table looks here after its own drawings.

#include <functional>
#include <map>

#include <QColor>
#include <QPainter>
#include <QString>

namespace lumenrail::PanelSymbols {

using Drawing = std::function<void(QPainter&, const QColor&)>;
const std::map<QString, Drawing>& drawings();

}  // namespace lumenrail::PanelSymbols
