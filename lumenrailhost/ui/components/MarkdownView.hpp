#pragma once

// Inline Markdown texts of the string tables, rendered by Qt's own Markdown
// reader. Only inline syntax counts: a line that would open a block (a
// heading, a list, a quote) is shown as written, and every line break of the
// text stays a line break. Qt never rejects Markdown: an unbalanced marker is
// shown as the character it is, which reads as the plain text.

#include <QLabel>
#include <QString>

#include "text/L10n.hpp"

namespace lumenrail::MarkdownView {

// The text as Markdown that Qt reads inline-only.
QString inlineOnly(const MarkdownText& text);

void show(QLabel& label, const MarkdownText& text);

}  // namespace lumenrail::MarkdownView
