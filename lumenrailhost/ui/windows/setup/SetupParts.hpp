#pragma once

// Pieces the setup pages share: wrapping texts in palette colours and the
// secondary colour at an opacity.

#include <QLabel>
#include <QString>

#include "text/L10n.hpp"
#include "ui/style/HostStyle.hpp"
#include "ui/style/KitParts.hpp"

namespace lumenrail::SetupParts {

// The secondary text colour, with `alpha` in both appearances.
DynamicColor secondary(double alpha = 1.0);

// A label that keeps its full height and wraps instead of truncating.
KitLabel* wrapping(const QString& text, const QFont& font, DynamicColor color);
// The same for an inline-Markdown text; its links open in the browser.
KitLabel* markdown(const MarkdownText& text, const QFont& font, DynamicColor color);

inline QString q(const std::string& text) { return QString::fromStdString(text); }

}  // namespace lumenrail::SetupParts
