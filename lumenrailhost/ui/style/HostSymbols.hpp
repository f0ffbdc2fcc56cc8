#pragma once

// The symbols the windows name ("play.fill", "exclamationmark.triangle"...),
// drawn as painter paths of our own. A name without a drawing draws nothing.

#include <QColor>
#include <QPainter>
#include <QRectF>
#include <QString>
#include <QStringList>

namespace lumenrail::HostSymbols {

bool has(const QString& name);

// Every name the table draws, in table order.
QStringList names();

// Draws `name` fitted into `box` (square, centred); false for an unknown name.
bool paint(QPainter& painter, const QString& name, const QRectF& box, const QColor& color);

}  // namespace lumenrail::HostSymbols
